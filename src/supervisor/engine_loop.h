#pragma once
// The engine thread: turns the supervisor's desired request into a running
// engine and keeps it so. One start attempt at a time: fresh controller
// access and configuration, the process, then polling every 200 ms until it
// exits or the request changes; the controller is asked once a second until
// it answers (20 s at most) and every 3 s after that. A failed attempt is
// recorded and followed by a back-off wait that a new request ends at once.
// When the user stopped, the thread removes the kill switch once the engine is down.
// An engine that outlived both kills is kept and killed again every 5 s until
// it has ended; meanwhile no other engine starts, the status reads
// "engine_kill_failed" ("stopping" without a request) and the thread is not idle.

#include <chrono>
#include <cstdint>

#include "platform/clock.h"

namespace velk {

class Supervisor;

inline constexpr Clock::duration kEnginePollStep = std::chrono::milliseconds(200);
inline constexpr Clock::duration kControllerPollBeforeReady = std::chrono::seconds(1);
inline constexpr Clock::duration kControllerPollWhenReady = std::chrono::seconds(3);
inline constexpr Clock::duration kReadinessLimit = std::chrono::seconds(20);
// An attempt that lasted this long starts the count of consecutive failures afresh.
inline constexpr Clock::duration kSteadyRun = std::chrono::seconds(60);
inline constexpr Clock::duration kBackoffCap = std::chrono::seconds(30);
// The pause between two rounds of kills of an engine that outlived them.
inline constexpr Clock::duration kSurvivorRetry = std::chrono::seconds(5);

// The wait after the `restarts`-th consecutive failure: 2, 4, 8, 16, then 30 seconds.
Clock::duration engine_backoff(std::uint32_t restarts);

// The engine thread's body. Returns only after Supervisor::request_thread_exit().
void run_engine_loop(Supervisor& supervisor);

}  // namespace velk
