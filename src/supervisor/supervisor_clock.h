#pragma once
// The clock the supervisor's threads run on: time, sleeps, and timed waits on
// the supervisor's wake signal. Tests replace it so that minutes of back-off,
// readiness limits and emergency-off polling pass in milliseconds.

#include <condition_variable>
#include <functional>
#include <mutex>

#include "platform/clock.h"

namespace velk {

class SupervisorClock : public Clock {
 public:
  // Waits on `cv` with `lock` held until `done()` holds or the clock reaches
  // `deadline`, whichever comes first. `done` is checked with `lock` held.
  virtual void wait_until(std::condition_variable& cv, std::unique_lock<std::mutex>& lock,
                          time_point deadline, const std::function<bool()>& done) = 0;
};

// Steady time and real waits.
class RealSupervisorClock final : public SupervisorClock {
 public:
  time_point now() override { return system_clock().now(); }
  void sleep_for(duration d) override { system_clock().sleep_for(d); }
  void wait_until(std::condition_variable& cv, std::unique_lock<std::mutex>& lock,
                  time_point deadline, const std::function<bool()>& done) override {
    cv.wait_until(lock, deadline, done);
  }
};

}  // namespace velk
