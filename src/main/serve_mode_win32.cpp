#include "main/serve_mode.h"

#include <memory>
#include <thread>

#include "ipc/pipe_server.h"
#include "killswitch/watcher.h"
#include "service/serve.h"
#include "supervisor/engine_loop.h"
#include "supervisor/supervisor_system.h"

namespace velk {
namespace {

class StoppableAdapter final : public StoppableSupervisor {
 public:
  explicit StoppableAdapter(std::shared_ptr<Supervisor> supervisor) : supervisor_(std::move(supervisor)) {}
  void shutdown() override { supervisor_->shutdown(); }
  bool engine_idle() override { return supervisor_->engine_idle(); }

 private:
  std::shared_ptr<Supervisor> supervisor_;
};

// Builds the supervisor, publishes it, starts the engine and watcher threads
// and serves the pipe. Returns only when the pipe cannot be secured; the
// threads then keep running.
void run_helper_pipe_server(const HelperConfig& config) {
  std::shared_ptr<Supervisor> supervisor;
  ServerHooks hooks;
  hooks.build_supervisor = [&] {
    supervisor = make_system_supervisor(config.engine_path, config.state_files ? config.state_files : no_state_files());
    published_supervisor<Supervisor>().fill(supervisor);
  };
  // A thread that cannot be started throws here, which ends the process.
  hooks.start_engine_thread = [&] { std::thread([s = supervisor] { run_engine_loop(*s); }).detach(); };
  hooks.start_watcher_thread = [&] { std::thread([s = supervisor] { watch_kill_switch(*s); }).detach(); };
  hooks.serve_connection = [&](ByteStream& pipe, const CallerIdentity& caller) {
    supervisor->serve_connection(pipe, caller);
  };
  run_pipe_server(config.socket_path, hooks);
}

}  // namespace

int run_serve_mode(const HelperOptions& options) {
  ServeHooks hooks;
  hooks.run_pipe_server = run_helper_pipe_server;
  hooks.published_supervisor = []() -> std::shared_ptr<StoppableSupervisor> {
    auto supervisor = published_supervisor<Supervisor>().get();
    if (!supervisor) return nullptr;
    return std::make_shared<StoppableAdapter>(std::move(supervisor));
  };
  return run_serve(options, std::move(hooks));
}

}  // namespace velk
