#pragma once
// The control pipe's server: starts the supervisor's threads, then accepts
// clients one after another and serves each on a thread of its own.
//
// The order of the accept loop and its retry rules live here in plain C++;
// the named-pipe calls sit behind PipeHost (pipe_server_win32.cpp).

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "ipc/byte_stream.h"
#include "ipc/caller_identity.h"
#include "platform/clock.h"

namespace velk {

// The helper's pipe unless --socket names another.
inline constexpr std::string_view kDefaultPipePath = "\\\\.\\pipe\\velkvpn-helper";

// Runs the request loop on one connected client until the client is gone.
using ConnectionHandler = std::function<void(ByteStream& pipe, const CallerIdentity& caller)>;

// What the server starts before it opens the pipe, called in this order.
struct ServerHooks {
  std::function<void()> build_supervisor;      // build the supervisor and publish it
  std::function<void()> start_engine_thread;   // the engine thread
  std::function<void()> start_watcher_thread;  // the kill-switch watcher thread
  ConnectionHandler serve_connection;          // run on every connection thread
};

// One instance of the pipe, owned by whoever holds it; destroying it closes it.
class PipeInstance {
 public:
  virtual ~PipeInstance() = default;
  // Blocks until a client connects. True also when the client connected
  // between creation and the wait.
  virtual bool wait_for_client() = 0;
  virtual std::optional<CallerIdentity> identify_caller() = 0;
  virtual ByteStream& stream() = 0;
  // Waits until the client has read what was written, then disconnects it.
  // Failures are ignored.
  virtual void flush_and_disconnect() = 0;
};

// The platform side of the server.
class PipeHost {
 public:
  virtual ~PipeHost() = default;
  // Builds the pipe's security descriptor; false when it cannot be built.
  virtual bool build_security_descriptor() = 0;
  // A new instance waiting for a client, or null when it cannot be created.
  // `first_instance`: fail if the pipe name already exists.
  virtual std::unique_ptr<PipeInstance> create_instance(bool first_instance) = 0;
  // Runs `body` on a new detached thread; a thread that cannot be started is fatal.
  virtual void start_thread(std::function<void()> body) = 0;
};

// Whether an instance must be the first of its name. Until this server has
// created an instance, every attempt insists on being first, so a name held
// by another process is never joined under that process's descriptor; once
// the server owns the name, later instances join its own pipe.
class FirstInstanceRule {
 public:
  bool demand_first() const { return !created_; }
  void instance_created() { created_ = true; }

 private:
  bool created_ = false;
};

// Waiting time before another attempt when an instance cannot be created.
inline constexpr Clock::duration kCreateRetryDelay = std::chrono::seconds(1);

// The server's start: builds the supervisor, starts its engine and watcher
// threads, then builds the security descriptor. False when the descriptor
// cannot be built (the threads keep running).
bool start_pipe_server(PipeHost& host, const ServerHooks& hooks);

// One connection, on its own thread: identify the caller, serve it when
// known (an unknown caller gets no answer), then flush and disconnect. The
// connection thread closes the instance afterwards.
void serve_client(PipeInstance& pipe, const ConnectionHandler& handler);

// The accept loop, one round at a time.
class AcceptLoop {
 public:
  AcceptLoop(PipeHost& host, Clock& clock, ConnectionHandler handler);
  // Creates an instance (waiting kCreateRetryDelay if that fails), waits for
  // a client and hands a connected instance to a connection thread.
  void accept_one();

 private:
  PipeHost& host_;
  Clock& clock_;
  ConnectionHandler handler_;
  FirstInstanceRule rule_;
  // An instance whose wait failed stays open until the next one exists: once
  // the server owns the name it never holds zero instances of it, so another
  // process cannot take the name in between and have later instances join it.
  std::unique_ptr<PipeInstance> failed_;
};

// start_pipe_server, then the accept loop forever. Returns only when the
// security descriptor cannot be built.
void serve_pipe(PipeHost& host, Clock& clock, const ServerHooks& hooks);

// A process-wide slot holding one shared reference; the first fill wins.
template <class T>
class SharedSlot {
 public:
  // False (and the slot unchanged) when it is already filled or `value` is null.
  bool fill(std::shared_ptr<T> value) {
    std::lock_guard lock(mutex_);
    if (value_ || !value) return false;
    value_ = std::move(value);
    return true;
  }
  // Null while empty.
  std::shared_ptr<T> get() const {
    std::lock_guard lock(mutex_);
    return value_;
  }

 private:
  mutable std::mutex mutex_;
  std::shared_ptr<T> value_;
};

// The supervisor the server built, for the service host to reach when the
// service is told to stop. One slot per process.
template <class Supervisor>
SharedSlot<Supervisor>& published_supervisor() {
  static SharedSlot<Supervisor> slot;
  return slot;
}

// The server on the named pipe `socket_path` (Windows build only).
void run_pipe_server(const std::string& socket_path, const ServerHooks& hooks);

}  // namespace velk
