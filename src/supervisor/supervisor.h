#pragma once
// The supervisor: the one object that holds what the user asked for (the
// desired request and the session owner), what the engine is doing about it,
// and the kill-switch store.
//
// Locks, always in this order: the operation lock (serialises every change of
// the kill switch: arming, the disarm after a stop, the forced disarm of
// emergency off, each watcher pass), then the state lock (short reads and
// writes of SupervisorState only, never across I/O, process waits, controller
// calls or filter changes). The store's own mutexes are innermost. The
// selection lock, taken before the state lock and never together with the
// operation lock, makes a select's switch of the engine and the engine
// thread's hand-over of a recorded selection one step each, so that neither
// undoes the other. Every change
// of the desired request increments `generation` and notifies the wake signal
// under the state lock; long-running work notices cancellation by comparing it.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "engine/controller_access.h"
#include "engine/route.h"
#include "ipc/byte_stream.h"
#include "ipc/caller_identity.h"
#include "ipc/protocol.h"
#include "killswitch/killswitch_store.h"
#include "platform/result.h"
#include "supervisor/supervisor_ports.h"

namespace velk {

struct SupervisorState {
  std::optional<EngineRequest> desired_request;
  std::optional<std::string> active;
  std::optional<std::string> error;
  std::optional<ControllerAccess> controller;
  // The selection the running engine's selector was last set to (its
  // configuration's, or a select's); present with `controller` only.
  std::optional<std::string> engine_selection;
  std::optional<std::string> session_owner;
  // The owner of the session whose `error` and `restarts` this state holds;
  // unlike session_owner it stays once that session is over.
  std::optional<std::string> last_owner;
  std::uint64_t generation = 0;
  std::uint32_t restarts = 0;
  bool stop_requested = false;
  bool shutting_down = false;
  bool engine_alive = false;
  EngineState engine_state = EngineState::stopped;
};

// Drops a kill-switch code from `error` (an engine code stays): the kill
// switch is off now.
void clear_kill_switch_error(SupervisorState& state);

// Polling of emergency off while the engine thread stops the engine and
// removes the kill switch; then the connection thread removes it itself.
inline constexpr int kEmergencyPolls = 80;
inline constexpr Clock::duration kEmergencyPollStep = std::chrono::milliseconds(100);

inline constexpr std::string_view kRestoreFailedMessage = "velkvpn-helper: could not restore the kill switch\n";

class Supervisor {
 public:
  // Loads the kill-switch store from the state directory; when killswitch.json exists,
  // re-installs the filters without pins (a failure is reported to
  // ports.error_sink and as the status error "killswitch_lost", and the
  // watcher tries again) and adopts the owner saved in it.
  Supervisor(std::filesystem::path engine_path, std::shared_ptr<StateFiles> state_files, SupervisorPorts ports);
  Supervisor(std::filesystem::path engine_path, const std::filesystem::path& state_dir, SupervisorPorts ports);
  Supervisor(const Supervisor&) = delete;
  Supervisor& operator=(const Supervisor&) = delete;

  // The caller-independent status.
  Status snapshot();
  // The status as `caller` may see it.
  Status status_for(const CallerIdentity& caller);
  // Error: "not_session_owner".
  Outcome check_session(const CallerIdentity& caller);
  // Makes `request` (already validated) the desired request: resolves and
  // pins its servers, arms the kill switch when asked or already engaged
  // (filters nobody owns are taken over for the caller), then commits. On any
  // error nothing has changed, but for a first arming whose filters could not
  // be taken away again (the caller then owns the kill switch left armed).
  Outcome apply_request(const CallerIdentity& caller, const EngineRequest& request, bool arm_kill_switch);
  // Clears the desired request and asks the engine thread to remove the kill
  // switch once the engine is down; filters nobody owns go for any caller.
  // Error: "not_session_owner".
  Outcome request_stop(const CallerIdentity& caller);
  // After a successful request_stop: waits up to about 8 seconds for the
  // engine thread, then removes the kill switch itself, unless a newer request
  // has been committed meanwhile (its kill switch stays).
  Response finish_emergency_off(const CallerIdentity& caller);
  // The select and test_route commands (the session check included). Select
  // switches a running engine at once; a selection recorded while the engine
  // starts or between restarts reaches it through the engine thread as soon
  // as its controller answers.
  Response select(const CallerIdentity& caller, const std::string& tag);
  Response test_route(const CallerIdentity& caller, const std::string& tag);
  // The service is stopping: the engine goes down, the kill switch stays.
  void shutdown();
  // True once the engine thread has no request to run.
  bool engine_idle();
  // A desired request is present.
  bool has_desired_request();
  // The last stop has been taken up and finished: the engine is down and the
  // kill switch is gone.
  bool stop_done();
  // The request loop on one connected client (request_loop.cpp).
  void serve_connection(ByteStream& stream, const CallerIdentity& caller);

  // Makes run_engine_loop and watch_kill_switch return at their next check, so
  // that their threads can be joined (tests; a console run's end).
  void request_thread_exit();

  const std::filesystem::path& engine_path() const { return engine_path_; }
  KillSwitchStore& store() { return store_; }

 private:
  friend class EngineLoop;
  friend class KillSwitchWatcher;

  // The store is engaged (armed in memory, a turn-off pending, stray filters,
  // or its own killswitch.json there).
  bool kill_switch_engaged() const;

  // Under the state lock. Something is on that belongs to a session: routes,
  // or a kill switch held for its owner. Filters nobody owns are no session.
  bool session_engaged(KillSwitchStore::Hold hold) const;
  Status snapshot_locked(KillSwitchStore::Hold hold) const;
  bool session_allows(const CallerIdentity& caller, KillSwitchStore::Hold hold) const;
  bool exit_requested() const { return exit_requested_.load(); }
  // Sets the engine's selector to `tag` through its controller (no lock held).
  // Errors: "engine_unreachable", "engine_refused".
  Outcome switch_engine_selector(const ControllerAccess& controller, const std::string& tag);

  const std::filesystem::path engine_path_;
  SupervisorPorts ports_;
  KillSwitchStore store_;

  std::mutex operation_mutex_;
  std::mutex selection_mutex_;
  std::mutex state_mutex_;
  std::condition_variable wake_;
  SupervisorState state_;
  std::atomic<bool> exit_requested_{false};
};

}  // namespace velk
