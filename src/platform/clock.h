#pragma once
// Time as an interface, so that waits measured in seconds run in
// milliseconds under test.

#include <chrono>

namespace velk {

class Clock {
 public:
  using duration = std::chrono::steady_clock::duration;
  using time_point = std::chrono::steady_clock::time_point;
  virtual ~Clock() = default;
  virtual time_point now() = 0;
  virtual void sleep_for(duration d) = 0;
};

class SystemClock final : public Clock {
 public:
  time_point now() override { return std::chrono::steady_clock::now(); }
  void sleep_for(duration d) override;
};

// The process-wide real clock.
Clock& system_clock();

}  // namespace velk
