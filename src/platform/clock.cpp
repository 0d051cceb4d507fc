#include "platform/clock.h"

#include <thread>

namespace velk {

void SystemClock::sleep_for(duration d) { std::this_thread::sleep_for(d); }

Clock& system_clock() {
  static SystemClock clock;
  return clock;
}

}  // namespace velk
