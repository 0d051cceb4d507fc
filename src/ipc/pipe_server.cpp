#include "ipc/pipe_server.h"

#include <algorithm>
#include <array>
#include <new>
#include <span>
#include <utility>

#include "ipc/replay_stream.h"

namespace velk {

struct ConnectionLimits::Counts {
  std::mutex mutex;
  std::size_t per_caller;
  std::size_t total;
  std::size_t kept_for_elevated;
  std::size_t live = 0;
  std::map<std::string, std::size_t> by_caller;
};

ConnectionLimits::ConnectionLimits(std::size_t per_caller, std::size_t total, std::size_t kept_for_elevated)
    : counts_(std::make_shared<Counts>()) {
  counts_->per_caller = per_caller;
  counts_->total = total;
  counts_->kept_for_elevated = std::min(kept_for_elevated, total);
}

ConnectionLimits::Ticket ConnectionLimits::admit(const CallerIdentity& caller) {
  const std::string& sid = caller.sid;
  {
    std::lock_guard lock(counts_->mutex);
    const std::size_t room = caller.elevated ? counts_->total : counts_->total - counts_->kept_for_elevated;
    std::size_t& mine = counts_->by_caller[sid];
    if (mine >= counts_->per_caller || counts_->live >= room) {
      if (mine == 0) counts_->by_caller.erase(sid);
      return nullptr;
    }
    ++mine;
    ++counts_->live;
  }
  // The deleter gives the slot back; the empty pointee is never touched.
  auto release = [counts = counts_, sid](void*) {
    std::lock_guard lock(counts->mutex);
    --counts->live;
    if (--counts->by_caller[sid] == 0) counts->by_caller.erase(sid);
  };
  static char token;
  try {
    return Ticket(&token, std::move(release));
  } catch (const std::bad_alloc&) {
    release(nullptr);  // the control block could not be made: nothing holds the slot
    return nullptr;
  }
}

bool Admission::confirm(const CallerIdentity& caller) {
  if (caller == counted_ && ticket_) return true;
  ticket_.reset();  // the slot the client's process took goes back before the caller's is taken
  ticket_ = limits_.admit(caller);
  if (ticket_) counted_ = caller;
  return ticket_ != nullptr;
}

bool start_pipe_server(PipeHost& host, const ServerHooks& hooks) {
  hooks.build_supervisor();
  hooks.start_engine_thread();
  hooks.start_watcher_thread();
  return host.build_security_descriptor();
}

void serve_client(PipeInstance& pipe, Admission& admission, const ConnectionHandler& handler) {
  try {
    std::array<char, kFirstReadBytes> first{};
    const std::size_t got = pipe.stream().read(first);
    // Only now can the system name the caller: before a read it may refuse to.
    const std::optional<CallerIdentity> caller = got > 0 ? pipe.identify_caller() : std::nullopt;
    if (caller && admission.confirm(*caller)) {
      ReplayStream stream(pipe.stream(), std::span<const char>(first.data(), std::min(got, first.size())));
      handler(stream, *caller);
    }
  } catch (const std::bad_alloc&) {
    // Out of memory for this connection's work: it ends, the server goes on.
  }
  pipe.flush_and_disconnect();
}

AcceptLoop::AcceptLoop(PipeHost& host, Clock& clock, ConnectionHandler handler, ConnectionLimits limits)
    : host_(host), clock_(clock), handler_(std::move(handler)), limits_(std::move(limits)) {}

std::unique_ptr<PipeInstance> AcceptLoop::create(bool first) {
  std::unique_ptr<PipeInstance> pipe = host_.create_instance(first);
  if (pipe) {
    rule_.instance_created();
    held_.reset();  // the new instance holds the name now
  }
  return pipe;
}

void AcceptLoop::accept_one() {
  if (!waiting_) {
    waiting_ = create(rule_.demand_first());
    if (!waiting_) {
      clock_.sleep_for(kCreateRetryDelay);
      return;
    }
  }
  std::unique_ptr<PipeInstance> pipe = std::move(waiting_);
  if (!pipe->wait_for_client()) {
    held_ = std::move(pipe);  // closed once the next instance exists, which follows at once
    return;
  }
  std::shared_ptr<PipeInstance> connected(std::move(pipe));
  // The next instance exists before this one is handed over: the connection
  // thread may close it at any moment.
  waiting_ = create(false);
  if (!waiting_) held_ = connected;
  hand_over(std::move(connected));
}

void AcceptLoop::hand_over(std::shared_ptr<PipeInstance> connected) {
  CallerIdentity counted =
      connected->identify_client_process().value_or(CallerIdentity{std::string(kUnreadableClient), false});
  ConnectionLimits::Ticket ticket = limits_.admit(counted);
  if (!ticket) {
    connected->flush_and_disconnect();  // nothing was written: no wait
    return;
  }
  auto admission = std::make_shared<Admission>(limits_, std::move(counted), std::move(ticket));
  const bool started = host_.start_thread([connected, admission, handler = handler_]() mutable {
    serve_client(*connected, *admission, handler);
    connected.reset();  // closes the instance
    admission.reset();  // then gives the slot back
  });
  if (!started) connected->flush_and_disconnect();
}

void serve_pipe(PipeHost& host, Clock& clock, const ServerHooks& hooks) {
  if (!start_pipe_server(host, hooks)) return;
  AcceptLoop loop(host, clock, hooks.serve_connection);
  for (;;) {
    try {
      loop.accept_one();
    } catch (const std::bad_alloc&) {
      clock.sleep_for(kCreateRetryDelay);  // memory may come back; the server stays
    }
  }
}

}  // namespace velk
