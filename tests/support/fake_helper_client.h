#pragma once
// The running helper as the installer's control client sees it: it answers
// while the fake service runs, with the version that service started with.

#include "fake_scm.h"
#include "fault_plan.h"
#include "install/helper_client.h"
#include "platform/clock.h"

namespace velk::test {

class FakeHelperClient final : public HelperClient {
 public:
  FakeHelperClient(FaultPlan& plan, FakeScm& scm, Clock& clock) : plan_(plan), scm_(scm), clock_(clock) {}

  std::optional<Status> query_helper_status() override;
  bool ask_helper_to_turn_off(const LogSink& log) override;
  std::optional<std::string> wait_for_helper_version() override;

  bool wanted = false;            // the answers' `wanted`
  std::optional<std::string> refusal;  // emergency_off answered with this error code
  bool silent = false;            // runs but never answers
  int turned_off = 0;

 private:
  bool answering() const { return scm_.running() && !silent; }

  FaultPlan& plan_;
  FakeScm& scm_;
  Clock& clock_;
};

}  // namespace velk::test
