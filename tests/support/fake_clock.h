#pragma once
// A clock whose time moves only when told to, for the supervisor's threads.
//
// Sleeps: by default a sleep moves time forward by its length at once; with
// manual sleeps the sleeper blocks until the test has advanced time past its end;
// with real sleeps it also waits that long in real time.
// Timed waits on a condition variable: by default time jumps to the deadline
// unless the condition already holds; with manual waits the waiter blocks until
// it is notified and its condition holds, or the test advances past the deadline.
// Every wait is logged with its length, so tests can read back a back-off sequence.

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <vector>

#include "supervisor/supervisor_clock.h"

namespace velk::test {

class FakeClock final : public SupervisorClock {
 public:
  FakeClock();

  time_point now() override;
  void sleep_for(duration d) override;
  void wait_until(std::condition_variable& cv, std::unique_lock<std::mutex>& lock,
                  time_point deadline, const std::function<bool()>& done) override;

  void set_manual_sleeps(bool manual);
  // Sleeps take their length in real time too (for real child processes).
  void set_real_sleeps(bool real);
  void set_manual_waits(bool manual);
  // Moves time forward and releases sleepers and waiters whose end has come.
  void advance(duration d);

  // The lengths of the timed waits begun so far (time left until their deadline).
  std::vector<duration> waits();
  // Blocks (in real time, at most `limit`) until `count` timed waits have begun.
  bool await_waits(std::size_t count, std::chrono::milliseconds limit = std::chrono::seconds(20));
  // How many sleeps have begun; blocks until at least `count` have.
  std::size_t sleeps_started();
  bool await_sleeps(std::size_t count, std::chrono::milliseconds limit = std::chrono::seconds(20));
  // Whether a thread is blocked in a manual timed wait right now.
  bool waiting();

 private:
  std::mutex m_;
  std::condition_variable changed_;
  time_point now_;
  bool manual_sleeps_ = false;
  bool real_sleeps_ = false;
  bool manual_waits_ = false;
  std::vector<duration> waits_;
  std::size_t sleeps_ = 0;
  int waiting_ = 0;
};

}  // namespace velk::test
