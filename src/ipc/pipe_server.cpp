#include "ipc/pipe_server.h"

#include <utility>

namespace velk {

bool start_pipe_server(PipeHost& host, const ServerHooks& hooks) {
  hooks.build_supervisor();
  hooks.start_engine_thread();
  hooks.start_watcher_thread();
  return host.build_security_descriptor();
}

void serve_client(PipeInstance& pipe, const ConnectionHandler& handler) {
  if (auto caller = pipe.identify_caller()) handler(pipe.stream(), *caller);
  pipe.flush_and_disconnect();
}

AcceptLoop::AcceptLoop(PipeHost& host, Clock& clock, ConnectionHandler handler)
    : host_(host), clock_(clock), handler_(std::move(handler)) {}

void AcceptLoop::accept_one() {
  std::unique_ptr<PipeInstance> pipe = host_.create_instance(rule_.demand_first());
  if (!pipe) {
    clock_.sleep_for(kCreateRetryDelay);
    return;
  }
  rule_.instance_created();
  failed_.reset();  // the new instance holds the name now
  if (!pipe->wait_for_client()) {
    failed_ = std::move(pipe);  // closed once the next instance exists, which follows at once
    return;
  }
  std::shared_ptr<PipeInstance> owned(std::move(pipe));
  host_.start_thread([owned = std::move(owned), handler = handler_]() mutable {
    serve_client(*owned, handler);
    owned.reset();  // closes the instance
  });
}

void serve_pipe(PipeHost& host, Clock& clock, const ServerHooks& hooks) {
  if (!start_pipe_server(host, hooks)) return;
  AcceptLoop loop(host, clock, hooks.serve_connection);
  for (;;) loop.accept_one();
}

}  // namespace velk
