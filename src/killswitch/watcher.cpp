#include "killswitch/watcher.h"

#include <string>

#include "ipc/error_codes.h"
#include "supervisor/supervisor.h"

namespace velk {

class KillSwitchWatcher {
 public:
  explicit KillSwitchWatcher(Supervisor& supervisor) : s_(supervisor) {}

  void run() {
    while (!s_.exit_requested()) {
      s_.ports_.clock.sleep_for(kWatchInterval);
      if (s_.exit_requested()) return;
      pass();
    }
  }

  void pass() {
    std::lock_guard operation(s_.operation_mutex_);
    KillSwitchStore& store = s_.store_;
    FilterOps& filters = s_.ports_.filters;
    if (!store.armed_in_memory()) {
      // The file says the kill switch is on but nothing is in force here (the
      // restore at start failed, or the filters could not be removed from a
      // first arming): install it again until that works, and say so.
      if (store.state_file_exists()) {
        report(store.restore_kill_switch() ? err::killswitch_restored : err::killswitch_lost);
      }
      return;
    }
    if (!store.state_file_exists()) {
      reset(store, filters);
      return;
    }
    const auto pins = store.armed_pins();
    if (!pins) return;
    if (filters.tunnel_changed()) {
      if (!filters.install_filters(*pins)) report(err::killswitch_lost);
    } else if (!filters.filters_intact()) {
      report(filters.install_filters(*pins) ? err::killswitch_restored : err::killswitch_lost);
    }
  }

 private:
  // The file was deleted under a running helper: the kill switch is off.
  void reset(KillSwitchStore& store, FilterOps& filters) {
    (void)filters.remove_filters();
    store.forget_armed_state();
    std::lock_guard lock(s_.state_mutex_);
    SupervisorState& state = s_.state_;
    state.desired_request.reset();
    ++state.generation;
    state.error.reset();
    state.session_owner.reset();
    s_.wake_.notify_all();
  }

  void report(ErrorCode code) {
    std::lock_guard lock(s_.state_mutex_);
    s_.state_.error = std::string(code);
  }

  Supervisor& s_;
};

void check_kill_switch(Supervisor& supervisor) { KillSwitchWatcher(supervisor).pass(); }

void watch_kill_switch(Supervisor& supervisor) { KillSwitchWatcher(supervisor).run(); }

}  // namespace velk
