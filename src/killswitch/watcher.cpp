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
    {
      // A stop is under way: the engine thread turns the kill switch off, and
      // nothing here may bring it back or speak over it.
      std::lock_guard lock(s_.state_mutex_);
      if (s_.state_.stop_requested && !s_.state_.desired_request) return;
    }
    if (store.off_pending()) {
      complete_off(store);
      return;
    }
    if (!store.armed_in_memory()) {
      if (store.notice_pending_off()) {
        adopt_pending_off(store);
        complete_off(store);
        return;
      }
      if (store.restore_owed()) {
        // The file says the kill switch is on but nothing is in force here (the
        // restore at start failed, or the filters could not be removed from a
        // first arming): install it again until that works, and say so.
        report(store.restore_kill_switch() ? err::killswitch_restored : err::killswitch_lost);
      } else {
        // A state file the helper did not write appeared while nothing was
        // engaged (a --state-dir others can write): it arms nothing, names
        // no owner, and goes.
        if (store.foreign_file()) (void)store.drop_foreign_file();
        note_stray_filters(store.check_stray_filters());
      }
      return;
    }
    if (!store.state_file_exists()) {
      reset(store);
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
  // The file was deleted under a running helper: the kill switch is off. When
  // the filters cannot be removed, that turn-off stays pending (the status
  // reads armed and says why) and its owner keeps it until it is complete.
  void reset(KillSwitchStore& store) {
    const bool removed = store.disarm_kill_switch().ok();
    std::lock_guard lock(s_.state_mutex_);
    SupervisorState& state = s_.state_;
    state.desired_request.reset();
    ++state.generation;
    if (removed) {
      state.error.reset();
      state.session_owner.reset();
    } else {
      state.error = std::string(err::killswitch_remove_failed);
    }
    s_.wake_.notify_all();
  }

  // A turn-off the filters have not followed yet: tried again every pass,
  // never turned back into a block.
  void complete_off(KillSwitchStore& store) {
    const bool removed = store.disarm_kill_switch().ok();
    std::lock_guard lock(s_.state_mutex_);
    SupervisorState& state = s_.state_;
    if (!removed) {
      state.error = std::string(err::killswitch_remove_failed);
      return;
    }
    clear_kill_switch_error(state);
    if (!state.desired_request) state.session_owner.reset();
  }

  // Another process's turn-off is pending here now: what was engaged goes.
  void adopt_pending_off(KillSwitchStore& store) {
    std::lock_guard lock(s_.state_mutex_);
    SupervisorState& state = s_.state_;
    if (state.desired_request) {
      state.desired_request.reset();
      ++state.generation;
      s_.wake_.notify_all();
    }
    if (auto saved = store.saved_state()) state.session_owner = saved->owner;
  }

  // The helper's filters with nothing to account for them: engaged, for
  // nobody, and the status says why; once they are gone, so is the code.
  void note_stray_filters(bool stray) {
    std::lock_guard lock(s_.state_mutex_);
    SupervisorState& state = s_.state_;
    if (stray) {
      if (state.error != std::optional<std::string>(err::killswitch_orphaned)) {
        state.error = std::string(err::killswitch_orphaned);
        if (!state.desired_request) state.session_owner.reset();
      }
    } else if (state.error == std::optional<std::string>(err::killswitch_orphaned)) {
      state.error.reset();
    }
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
