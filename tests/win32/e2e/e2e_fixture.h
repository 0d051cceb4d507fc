#pragma once
// The fixture of the end-to-end tests: a fresh helper service per test, the
// filtering-engine stand-in emptied when the service first runs and after
// the test. Skips when the exe cannot serve as a service.

#include <gtest/gtest.h>

#include <optional>

#include "helper_service.h"
#include "standin_view.h"

namespace velk::test {

class HelperE2e : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Starts the service, points the stand-in tools at the directory the
  // service uses and empties it.
  void start_service();
  // start_service, then `start` with the kill switch; waits until the engine
  // runs with srv-1 in use.
  void start_running_session();

  HelperService& helper() { return *helper_; }
  // The stand-in's objects now; fails the test when they cannot be read.
  FilterView filters();

  std::optional<HelperService> helper_;
  bool standin_pointed_ = false;
};

}  // namespace velk::test
