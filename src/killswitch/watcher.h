#pragma once
// The kill-switch watcher: once a second, under the supervisor's operation
// lock, it checks the armed kill switch and repairs it.
//   - killswitch.json deleted under an armed store (--recover from another
//     process): the filters go, the store forgets its state, and the desired
//     request and the session owner are cleared so the engine stops;
//   - the tunnel interface appeared, vanished or changed: the same pins are
//     installed again, silently ("killswitch_lost" if that fails);
//   - a filtering layer lost its filters: installed again, reported as
//     "killswitch_restored" ("killswitch_lost" if that fails).
//   - killswitch.json (its own) present while nothing is armed in memory (a
//     restore that failed): the filters are installed without pins, reported
//     as "killswitch_restored" ("killswitch_lost" until that works);
//   - a turn-off the filters did not follow (a stop, emergency off, --recover
//     or the reset above whose removal failed): removed again every pass
//     until that works ("killswitch_remove_failed" meanwhile), never restored;
//   - nothing armed, pending or saved, yet the helper's filters in force:
//     engaged with "killswitch_orphaned", for nobody, until someone removes them.
// While a stop is under way the pass does nothing. A state file that appears
// while nothing is engaged is not enforced.

#include <chrono>

#include "platform/clock.h"

namespace velk {

class Supervisor;

inline constexpr Clock::duration kWatchInterval = std::chrono::seconds(1);

// One pass.
void check_kill_switch(Supervisor& supervisor);

// The watcher thread's body: sleep a second (holding no lock), then one pass.
// Returns only after Supervisor::request_thread_exit().
void watch_kill_switch(Supervisor& supervisor);

}  // namespace velk
