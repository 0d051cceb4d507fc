#include "supervisor/supervisor.h"

#include <algorithm>
#include <utility>

#include "engine/route_validation.h"
#include "ipc/error_codes.h"

namespace velk {

namespace {

bool names_route(const EngineRequest& request, std::string_view tag) {
  if (tag == auto_selection) return true;
  return std::any_of(request.routes.begin(), request.routes.end(),
                     [&](const Route& route) { return route.tag == tag; });
}

Response error_response(ErrorCode code) { return Response{Response::Error{std::string(code)}}; }

}  // namespace

void clear_kill_switch_error(SupervisorState& state) {
  if (state.error && state.error->starts_with("killswitch_")) state.error.reset();
}

Supervisor::Supervisor(std::filesystem::path engine_path, const std::filesystem::path& state_dir,
                       SupervisorPorts ports)
    : Supervisor(std::move(engine_path), state_files_at(state_dir), std::move(ports)) {}

Supervisor::Supervisor(std::filesystem::path engine_path, std::shared_ptr<StateFiles> state_files,
                       SupervisorPorts ports)
    : engine_path_(std::move(engine_path)),
      ports_(std::move(ports)),
      store_(KillSwitchStore::load(std::move(state_files), ports_.filters)) {
  if (store_.off_pending()) {
    // A turn-off the filters did not follow: it stays a turn-off. The status
    // reads armed with the reason, the owner may send it again, and the
    // watcher completes it as soon as the filters can be removed.
    state_.error = std::string(err::killswitch_remove_failed);
    if (auto saved = store_.saved_state()) state_.session_owner = state_.last_owner = saved->owner;
  } else if (store_.state_file_exists()) {
    if (!store_.restore_kill_switch()) {
      // The status must not read armed as if all were well: the watcher
      // tries again every pass and reports when it has worked.
      ports_.error_sink(kRestoreFailedMessage);
      state_.error = std::string(err::killswitch_lost);
    }
    if (auto saved = store_.saved_state()) state_.session_owner = state_.last_owner = saved->owner;
  } else if (store_.check_stray_filters(true)) {
    // The helper's filters hold the network with no state file behind them
    // (deleted, lost, or taken away with the directory): they belong to
    // nobody, so any caller may replace them with a start or remove them.
    // A filtering engine that cannot be asked may hide some: they count
    // until the watcher's first answer says otherwise.
    state_.error = std::string(err::killswitch_orphaned);
  }
}

bool Supervisor::kill_switch_engaged() const { return store_.engaged(); }

bool Supervisor::session_engaged(KillSwitchStore::Hold hold) const {
  return state_.desired_request.has_value() || hold == KillSwitchStore::Hold::owned;
}

Status Supervisor::snapshot_locked(KillSwitchStore::Hold hold) const {
  const SupervisorState& s = state_;
  const bool ks_engaged = hold != KillSwitchStore::Hold::off;
  Status status;
  if (s.desired_request) status.selected = s.desired_request->selected;
  status.active = s.active;
  status.error = s.error;
  status.restarts = s.restarts;
  status.kill_switch = ks_engaged ? KillSwitch::armed : KillSwitch::off;
  status.wanted = s.desired_request.has_value() || ks_engaged;
  status.state = s.engine_state;
  if (ks_engaged && (s.engine_state == EngineState::stopped || s.engine_state == EngineState::starting)) {
    status.state = EngineState::starting;
  }
  status.needs_request = hold == KillSwitchStore::Hold::owned && !s.desired_request && !s.stop_requested &&
                         s.error != std::optional<std::string>(err::killswitch_remove_failed) &&
                         !store_.off_pending();
  status.session = session_engaged(hold) ? Session::other : Session::none;
  // Filters nobody owns are reported to everyone for what they are.
  if (hold == KillSwitchStore::Hold::orphaned && !s.desired_request) {
    status.error = std::string(err::killswitch_orphaned);
  }
  return status;
}

Status Supervisor::snapshot() {
  const KillSwitchStore::Hold hold = store_.hold();

  std::lock_guard lock(state_mutex_);
  return snapshot_locked(hold);
}

Status Supervisor::status_for(const CallerIdentity& caller) {
  const KillSwitchStore::Hold hold = store_.hold();
  Status status;
  std::optional<std::string> owner;
  std::optional<std::string> last_owner;
  {
    std::lock_guard lock(state_mutex_);
    status = snapshot_locked(hold);
    owner = state_.session_owner;
    last_owner = state_.last_owner;
  }
  if (status.session == Session::none) {
    // The failures of a session that is over stay its owner's business (and
    // elevated callers'). Filters nobody owns concern everyone.
    if (!caller.elevated && last_owner != caller.sid) {
      status.restarts = 0;
      if (status.error != std::optional<std::string>(err::killswitch_orphaned)) status.error.reset();
    }
    return status;
  }
  if (owner && *owner == caller.sid) {
    status.session = Session::mine;
    return status;
  }
  status.needs_request = false;
  if (!caller.elevated) {
    status.selected.reset();
    status.active.reset();
    status.error.reset();
    status.restarts = 0;
  }
  return status;
}

bool Supervisor::session_allows(const CallerIdentity& caller, KillSwitchStore::Hold hold) const {
  return !session_engaged(hold) || caller.elevated ||
         (state_.session_owner && *state_.session_owner == caller.sid);
}

Outcome Supervisor::check_session(const CallerIdentity& caller) {
  const KillSwitchStore::Hold hold = store_.hold();
  std::lock_guard lock(state_mutex_);
  if (!session_allows(caller, hold)) return fail(err::not_session_owner);
  return {};
}

Outcome Supervisor::apply_request(const CallerIdentity& caller, const EngineRequest& request,
                                  bool arm_kill_switch) {
  // The commands validate first; checked again here because an unvalidated
  // request must never become the desired one.
  if (auto valid = validate_request(request); !valid) return valid;
  if (auto ok = check_session(caller); !ok) return ok;

  // Resolution may take seconds per host name: it runs before any lock.
  bool engine_running;
  {
    std::lock_guard lock(state_mutex_);
    engine_running = state_.engine_state == EngineState::running;
  }
  const bool ks_before = kill_switch_engaged();
  auto resolved = resolve_routes(request, ks_before, engine_running, store_, ports_.resolution);
  if (!resolved) return fail(resolved.error());
  auto pins = derive_pins(resolved->request);
  if (!pins) return fail(pins.error());

  std::lock_guard operation(operation_mutex_);
  if (auto ok = check_session(caller); !ok) return ok;
  // A state file this process neither read nor wrote is nobody's kill switch:
  // a start neither arms for it nor leaves it behind.
  if (store_.foreign_file()) (void)store_.drop_foreign_file();
  const KillSwitchStore::Hold hold = store_.hold();
  const bool ks = hold != KillSwitchStore::Hold::off;
  std::string owner;
  {
    std::lock_guard lock(state_mutex_);
    // An elevated caller does not take over someone else's session; filters
    // nobody owns go to whoever starts.
    owner = (session_engaged(hold) && state_.session_owner) ? *state_.session_owner : caller.sid;
  }
  if (arm_kill_switch || ks) {
    if (auto armed = store_.arm(owner, resolved->new_entries, *pins); !armed) {
      // A first arming whose filters could not be taken away again keeps
      // killswitch.json: the helper is engaged now, and the one who armed it
      // must be able to stop it.
      if (!ks && kill_switch_engaged()) {
        std::lock_guard lock(state_mutex_);
        state_.session_owner = std::move(owner);
      }
      return armed;
    }
  }
  {
    std::lock_guard lock(state_mutex_);
    state_.last_owner = owner;
    state_.session_owner = std::move(owner);
    state_.desired_request = std::move(resolved->request);
    ++state_.generation;
    state_.error.reset();
    state_.restarts = 0;
    state_.stop_requested = false;
    wake_.notify_all();
  }
  return {};
}

Outcome Supervisor::request_stop(const CallerIdentity& caller) {
  const KillSwitchStore::Hold hold = store_.hold();
  std::lock_guard lock(state_mutex_);
  if (!session_allows(caller, hold)) return fail(err::not_session_owner);
  // Whoever removes filters nobody owns owns that turn-off: should the
  // removal fail, it stays theirs to send again.
  if (!session_engaged(hold) && hold == KillSwitchStore::Hold::orphaned) {
    state_.session_owner = state_.last_owner = caller.sid;
  }
  state_.desired_request.reset();
  ++state_.generation;
  state_.error.reset();
  state_.stop_requested = true;
  wake_.notify_all();
  return {};
}

bool Supervisor::stop_done() {
  const KillSwitchStore::Hold hold = store_.hold();
  std::lock_guard lock(state_mutex_);
  // Stopped alone is not enough: until the engine thread has taken this stop
  // up (it clears stop_requested), stopped may be the state from before it.
  return !state_.stop_requested && snapshot_locked(hold).state == EngineState::stopped;
}

Response Supervisor::finish_emergency_off(const CallerIdentity& caller) {
  for (int poll = 0; poll < kEmergencyPolls; ++poll) {
    // Done once the engine is down and the kill switch is gone.
    if (stop_done()) return Response{status_for(caller)};
    ports_.clock.sleep_for(kEmergencyPollStep);
  }
  {
    std::lock_guard operation(operation_mutex_);
    // A start on another connection during the wait armed for its own
    // request: that kill switch is not this stop's to remove.
    if (has_desired_request()) return Response{status_for(caller)};
    // Nothing engaged (and no stray filter seen): nothing to remove.
    Outcome removed = kill_switch_engaged() ? store_.disarm_kill_switch() : Outcome{};
    std::lock_guard lock(state_mutex_);
    state_.stop_requested = false;
    if (!removed) {
      // The turn-off stands and the status says what is in force; the
      // watcher completes it once the filters can be removed.
      state_.error = std::string(err::killswitch_remove_failed);
      return error_response(removed.error());
    }
    clear_kill_switch_error(state_);
    state_.session_owner.reset();
  }
  return Response{status_for(caller)};
}

Response Supervisor::select(const CallerIdentity& caller, const std::string& tag) {
  if (auto ok = check_session(caller); !ok) return error_response(ok.error());
  std::lock_guard selection(selection_mutex_);
  std::optional<ControllerAccess> controller;
  {
    std::lock_guard lock(state_mutex_);
    if (!state_.desired_request) return error_response(err::not_running);
    if (!names_route(*state_.desired_request, tag)) return error_response(err::unknown_route);
    // A running engine is asked at once. One still starting may not listen
    // yet: the choice is only recorded, and the engine thread hands it over
    // when the controller first answers.
    if (state_.engine_state == EngineState::running) controller = state_.controller;
  }
  if (controller) {
    if (auto switched = switch_engine_selector(*controller, tag); !switched) return error_response(switched.error());
  }
  {
    std::lock_guard lock(state_mutex_);
    // A replace may have come in meanwhile; its routes may not have this tag,
    // and a selection outside the routes would break every later engine start.
    if (state_.desired_request && names_route(*state_.desired_request, tag)) {
      state_.desired_request->selected = tag;
    }
    // The engine asked is still the one running: it needs no hand-over.
    if (controller && state_.controller == controller) state_.engine_selection = tag;
  }
  return Response{status_for(caller)};
}

Outcome Supervisor::switch_engine_selector(const ControllerAccess& controller, const std::string& tag) {
  // Tags reaching here are "auto" or validated route tags: nothing to escape.
  const std::string body = "{\"name\":\"" + tag + "\"}";
  auto reply = ports_.controller.request(controller, "PUT", "/proxies/proxy", body);
  if (!reply) return fail(err::engine_unreachable);
  if (reply->status < 200 || reply->status > 299) return fail(err::engine_refused);
  return {};
}

Response Supervisor::test_route(const CallerIdentity& caller, const std::string& tag) {
  if (auto ok = check_session(caller); !ok) return error_response(ok.error());
  ControllerAccess controller;
  {
    std::lock_guard lock(state_mutex_);
    if (!state_.desired_request) return error_response(err::not_running);
    if (!names_route(*state_.desired_request, tag)) return error_response(err::unknown_route);
    if (!state_.controller) return error_response(err::not_running);
    controller = *state_.controller;
  }
  auto reply = ports_.controller.request(controller, "GET", "/proxies/" + tag + "/delay?timeout=5000", std::nullopt);
  if (!reply) return error_response(err::engine_unreachable);
  return Response{Response::Delay{delay_from_reply(*reply)}};
}

void Supervisor::shutdown() {
  std::lock_guard lock(state_mutex_);
  state_.desired_request.reset();
  ++state_.generation;
  state_.shutting_down = true;
  wake_.notify_all();
}

bool Supervisor::has_desired_request() {
  std::lock_guard lock(state_mutex_);
  return state_.desired_request.has_value();
}

bool Supervisor::engine_idle() {
  std::lock_guard lock(state_mutex_);
  return !state_.engine_alive;
}

void Supervisor::request_thread_exit() {
  std::lock_guard lock(state_mutex_);
  exit_requested_ = true;
  wake_.notify_all();
}

}  // namespace velk
