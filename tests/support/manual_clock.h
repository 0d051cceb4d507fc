#pragma once
// A clock that moves only when something sleeps on it, and remembers each sleep.

#include <chrono>
#include <vector>

#include "platform/clock.h"

namespace velk::test {

class ManualClock final : public Clock {
 public:
  time_point now() override { return now_; }
  void sleep_for(duration d) override {
    sleeps.push_back(d);
    now_ += d;
  }
  std::vector<duration> sleeps;

 private:
  time_point now_{std::chrono::hours(1000)};
};

}  // namespace velk::test
