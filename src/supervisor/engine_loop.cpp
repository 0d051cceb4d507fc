#include "supervisor/engine_loop.h"

#include <algorithm>
#include <limits>
#include <memory>
#include <optional>
#include <string>

#include "engine/engine_config.h"
#include "ipc/error_codes.h"
#include "supervisor/engine_process.h"
#include "supervisor/output_reader.h"
#include "supervisor/supervisor.h"

namespace velk {

using namespace std::chrono_literals;

Clock::duration engine_backoff(std::uint32_t restarts) {
  const std::uint32_t n = std::min<std::uint32_t>(restarts, 5);
  return std::min<Clock::duration>(std::chrono::seconds(std::int64_t{1} << n), kBackoffCap);
}

class EngineLoop {
 public:
  explicit EngineLoop(Supervisor& supervisor) : s_(supervisor), state_(supervisor.state_) {}

  void run() {
    std::unique_lock lock(s_.state_mutex_);
    for (;;) {
      if (s_.exit_requested()) {
        state_.engine_alive = false;
        return;
      }
      if (!state_.desired_request) {
        state_.active.reset();
        state_.controller.reset();
        state_.engine_selection.reset();
        state_.engine_alive = false;
        if (state_.stop_requested) {
          state_.engine_state = EngineState::stopping;
          lock.unlock();
          remove_kill_switch_after_stop();
          lock.lock();
        } else if (survivor_) {
          hold_for_survivor(lock);
        } else {
          state_.engine_state = EngineState::stopped;
          s_.wake_.wait(lock);
        }
        continue;
      }
      if (state_.shutting_down) {
        // The generation stays: nothing else waits for this change.
        state_.desired_request.reset();
        lock.unlock();
        lock.lock();
        continue;
      }
      if (survivor_) {
        hold_for_survivor(lock);
        continue;
      }
      lock.unlock();
      run_attempt();
      lock.lock();
    }
  }

 private:
  // Under the state lock: the attempt begun at `generation` is out of date.
  bool superseded(std::uint64_t generation) const {
    return state_.generation != generation || s_.exit_requested();
  }

  // The engine is down and the user asked to stop: the kill switch goes.
  void remove_kill_switch_after_stop() {
    std::lock_guard operation(s_.operation_mutex_);
    {
      std::lock_guard lock(s_.state_mutex_);
      if (state_.desired_request || !state_.stop_requested) return;
    }
    // The filters change under the operation lock alone; nothing can arm
    // meanwhile, and stop_requested stays set so that no status asks the
    // owner for a request during the removal.
    Outcome removed;
    if (s_.kill_switch_engaged()) removed = s_.store_.disarm_kill_switch();
    std::lock_guard lock(s_.state_mutex_);
    state_.stop_requested = false;
    if (removed) {
      state_.session_owner.reset();
      clear_kill_switch_error(state_);
    } else {
      // The owner's stop stands: the watcher completes it once the filters
      // can be removed, and nothing asks for a request meanwhile.
      state_.error = std::string(err::killswitch_remove_failed);
    }
  }

  void run_attempt() {
    EngineRequest request;
    std::uint64_t generation;
    {
      std::lock_guard lock(s_.state_mutex_);
      state_.engine_alive = true;
      state_.engine_state = EngineState::starting;
      request = *state_.desired_request;
      generation = state_.generation;
    }
    const Clock::time_point started = s_.ports_.clock.now();
    const std::optional<ErrorCode> failure = attempt(request, generation);
    record_end(generation, started, failure);
  }

  // One attempt; its failure code, or none when it was stopped because the
  // request changed.
  std::optional<ErrorCode> attempt(const EngineRequest& request, std::uint64_t generation) {
    SupervisorPorts& ports = s_.ports_;
    auto access = ports.new_access();
    if (!access) return err::engine_controller;
    const std::string config = build_engine_config(request, *access);
    auto started = ports.launcher.start(s_.engine_path_);
    if (!started) return started.error() == err::engine_missing ? err::engine_missing : err::engine_spawn;
    std::unique_ptr<EngineProcess> process = std::move(*started);
    // A failed write is left to the engine, which then fails and is classified.
    (void)process->write_input_and_close(config);
    // Declared after the process: a reader still running when the attempt ends
    // is abandoned before the process's handles close.
    OutputReader reader = OutputReader::start(process->take_error_output());
    {
      std::lock_guard lock(s_.state_mutex_);
      if (state_.generation == generation) {
        state_.controller = *access;
        state_.engine_selection = request.selected;
      }
    }
    const Clock::time_point spawned = ports.clock.now();
    // Until it answers, no question outlasts this: the time-out comes at
    // most one poll step after it, whatever the controller does.
    const Clock::time_point ready_by = spawned + kReadinessLimit;
    Clock::time_point last_poll = spawned - 10s;
    bool ready = false;
    for (;;) {
      bool stop;
      {
        std::lock_guard lock(s_.state_mutex_);
        stop = superseded(generation);
        if (stop) state_.engine_state = EngineState::stopping;
      }
      if (stop) {
        if (!terminate_engine(*process, ports.clock)) keep_survivor(std::move(process));
        return std::nullopt;
      }
      if (process->has_exited()) return last_words(*process, reader);
      if (!ready && ports.clock.now() >= ready_by) {
        if (terminate_engine(*process, ports.clock)) return err::engine_timeout;
        keep_survivor(std::move(process));
        return err::engine_kill_failed;
      }
      if (ports.clock.now() - last_poll >= (ready ? kControllerPollWhenReady : kControllerPollBeforeReady)) {
        last_poll = ports.clock.now();
        std::optional<std::string> name = route_in_use(*access, request, ready ? std::nullopt : std::optional(ready_by));
        // The controller answers: a selection made since the configuration
        // was written goes to the engine now, and the route it then uses is
        // what counts.
        const HandOver handed = name ? hand_over_selection(*access, generation) : HandOver::none;
        if (handed == HandOver::switched) {
          if (auto switched = route_in_use(*access, request)) name = std::move(switched);
        }
        if (name) {
          std::lock_guard lock(s_.state_mutex_);
          if (state_.generation == generation) {
            if (!ready) {
              state_.engine_state = EngineState::running;
              state_.error.reset();
            }
            // After the readiness above, which would clear it.
            if (handed == HandOver::refused) state_.error = std::string(err::engine_refused);
            state_.active = std::move(*name);
            ready = true;
          }
        }
      }
      ports.clock.sleep_for(kEnginePollStep);
    }
  }

  // The engine has exited. What it started goes too (what is left in its job,
  // or its process group): a child holding its standard error open would
  // otherwise keep the reader, and this thread, waiting for ever. The reader
  // then has a couple of seconds to finish; one still reading after that is
  // let go and the exit counts as "engine_exit".
  ErrorCode last_words(EngineProcess& process, OutputReader& reader) {
    process.end_leftovers();
    return reader.join_within(s_.ports_.clock, kLastWordsPolls, kLastWordsPollStep).value_or(err::engine_exit);
  }

  enum class HandOver { none, switched, refused };

  // A selection recorded while this engine's controller was not known yet (or
  // whose switch did not reach it) is sent to it. Under the selection lock, so
  // that a select is either wholly before or wholly after this; while a select
  // holds it (talking to the controller) this poll leaves it to that select
  // and the thread goes on watching the engine. An engine that cannot be
  // reached is asked again at the next poll. One that refuses is answered as
  // a select to a running engine would be: the selection goes back to the one
  // the engine uses, and the caller reports "engine_refused"; it is not sent again.
  HandOver hand_over_selection(const ControllerAccess& access, std::uint64_t generation) {
    std::unique_lock selection(s_.selection_mutex_, std::try_to_lock);
    if (!selection.owns_lock()) return HandOver::none;
    std::string wanted;
    {
      std::lock_guard lock(s_.state_mutex_);
      if (superseded(generation) || !state_.desired_request || state_.controller != access) return HandOver::none;
      if (state_.engine_selection == state_.desired_request->selected) return HandOver::none;
      wanted = state_.desired_request->selected;
    }
    const Outcome switched = s_.switch_engine_selector(access, wanted);
    std::lock_guard lock(s_.state_mutex_);
    // A new request came in meanwhile: this answer is not about its routes.
    if (superseded(generation) || state_.controller != access) return HandOver::none;
    if (switched) {
      state_.engine_selection = std::move(wanted);
      return HandOver::switched;
    }
    if (switched.error() != err::engine_refused) return HandOver::none;
    if (state_.desired_request && state_.engine_selection && state_.desired_request->selected == wanted) {
      state_.desired_request->selected = *state_.engine_selection;
    }
    return HandOver::refused;
  }

  // The engine outlived both kills: the status says so (no stop clears it),
  // and it is kept, so that nothing starts beside it while it may run.
  void keep_survivor(std::unique_ptr<EngineProcess> process) {
    survivor_ = std::move(process);
    std::lock_guard lock(s_.state_mutex_);
    state_.error = std::string(err::engine_kill_failed);
  }

  // Under the state lock, released meanwhile: one more round of kills for the
  // engine that outlived them. Once it has ended the code goes and the loop
  // goes on; while it is there nothing else starts, and the next round comes
  // kSurvivorRetry later (the thread's exit ends the pause).
  void hold_for_survivor(std::unique_lock<std::mutex>& lock) {
    state_.engine_alive = true;
    state_.engine_state = state_.desired_request ? EngineState::starting : EngineState::stopping;
    lock.unlock();
    const bool gone = survivor_->has_exited() || terminate_engine(*survivor_, s_.ports_.clock);
    if (gone) survivor_->end_leftovers();
    lock.lock();
    if (gone) {
      survivor_.reset();
      if (state_.error == std::optional<std::string>(err::engine_kill_failed)) state_.error.reset();
      return;
    }
    SupervisorClock& clock = s_.ports_.clock;
    clock.wait_until(s_.wake_, lock, clock.now() + kSurvivorRetry, [&] { return s_.exit_requested(); });
  }

  // The selector's member; when that is "auto", the member the latency-test
  // group chose. That group names "" until its first check ends, which counts
  // as no answer: the route in use is then reported as "auto", never "".
  // Each question ends by `deadline` when there is one (none is asked once it has passed).
  std::optional<std::string> route_in_use(const ControllerAccess& access, const EngineRequest& request,
                                          std::optional<Clock::time_point> deadline = std::nullopt) {
    ControllerClient& controller = s_.ports_.controller;
    SupervisorClock& clock = s_.ports_.clock;
    return current_route_from(
        [&](std::string_view group) -> std::optional<std::string> {
          std::chrono::milliseconds limit = kControllerExchangeLimit;
          if (deadline) {
            limit = std::min(limit, std::chrono::floor<std::chrono::milliseconds>(*deadline - clock.now()));
            if (limit.count() <= 0) return std::nullopt;
          }
          return controller.current_member(access, group, limit);
        },
        request);
  }

  void record_end(std::uint64_t generation, Clock::time_point started, std::optional<ErrorCode> failure) {
    SupervisorClock& clock = s_.ports_.clock;
    std::unique_lock lock(s_.state_mutex_);
    state_.active.reset();
    state_.controller.reset();
    state_.engine_selection.reset();
    if (!failure || superseded(generation)) return;
    if (clock.now() - started >= kSteadyRun) {
      state_.restarts = 1;
    } else if (state_.restarts < std::numeric_limits<std::uint32_t>::max()) {
      ++state_.restarts;
    }
    state_.error = std::string(*failure);
    state_.engine_state = EngineState::starting;
    const Clock::time_point deadline = clock.now() + engine_backoff(state_.restarts);
    clock.wait_until(s_.wake_, lock, deadline, [&] { return superseded(generation); });
  }

  Supervisor& s_;
  SupervisorState& state_;
  // An engine that outlived both kills and may still run (engine thread only).
  std::unique_ptr<EngineProcess> survivor_;
};

void run_engine_loop(Supervisor& supervisor) { EngineLoop(supervisor).run(); }

}  // namespace velk
