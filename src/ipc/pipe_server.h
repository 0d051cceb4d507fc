#pragma once
// The control pipe's server: starts the supervisor's threads, then accepts
// clients one after another and serves each on a thread of its own.
//
// The order of the accept loop and its retry rules live here in plain C++;
// the named-pipe calls sit behind PipeHost (pipe_server_win32.cpp).

#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

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
  // The account of the client's process: what the connection is counted
  // against before the client has sent anything.
  virtual std::optional<CallerIdentity> identify_client_process() = 0;
  // The caller as the pipe names it. Windows can name it only once a read
  // has returned the client's bytes, so this comes after the first read.
  virtual std::optional<CallerIdentity> identify_caller() = 0;
  virtual ByteStream& stream() = 0;
  // Waits until the client has read what was written, but at most
  // kFlushBound (a client still blocked writing an oversized line never
  // reads), then disconnects it. Failures are ignored.
  virtual void flush_and_disconnect() = 0;
};

// How long a closing connection waits for its client to read the last answer.
inline constexpr Clock::duration kFlushBound = std::chrono::seconds(2);

// The platform side of the server.
class PipeHost {
 public:
  virtual ~PipeHost() = default;
  // Builds the pipe's security descriptor; false when it cannot be built.
  virtual bool build_security_descriptor() = 0;
  // A new instance waiting for a client, or null when it cannot be created.
  // `first_instance`: fail if the pipe name already exists.
  virtual std::unique_ptr<PipeInstance> create_instance(bool first_instance) = 0;
  // Runs `body` on a new detached thread; false when no thread could be started.
  virtual bool start_thread(std::function<void()> body) = 0;
};

// Connections served at once: per caller account, and in all. The last
// kKeptForElevated of all are only for elevated callers and LocalSystem, so
// no number of ordinary accounts can lock out an administrator or the
// installer. The desktop application uses one or two; the load checks run 64
// clients as one account.
inline constexpr std::size_t kMaxConnectionsPerCaller = 128;
inline constexpr std::size_t kMaxConnections = 512;
inline constexpr std::size_t kKeptForElevated = 64;

// The account a connection is counted against when its client's process
// cannot be read (no SID looks like it): all such connections share one
// caller's bound, and none of the kept slots.
inline constexpr std::string_view kUnreadableClient = "unreadable";

// Counts live connections per caller SID and in total. An admitted connection
// holds a ticket; the count drops when its last copy goes.
class ConnectionLimits {
 public:
  using Ticket = std::shared_ptr<void>;

  ConnectionLimits(std::size_t per_caller = kMaxConnectionsPerCaller, std::size_t total = kMaxConnections,
                   std::size_t kept_for_elevated = kKeptForElevated);
  // Null when the caller is at its bound, or the server is full for it (a
  // caller that is not elevated may not take the kept slots).
  Ticket admit(const CallerIdentity& caller);

 private:
  struct Counts;
  std::shared_ptr<Counts> counts_;  // shared with the tickets, which may outlive this object
};

// A connection's place among the live ones: first counted against its
// client's process, then against the caller the pipe names once it has read
// the first bytes.
class Admission {
 public:
  Admission(ConnectionLimits limits, CallerIdentity counted, ConnectionLimits::Ticket ticket)
      : limits_(std::move(limits)), counted_(std::move(counted)), ticket_(std::move(ticket)) {}
  // Counts the connection against `caller` instead, when that is another
  // caller; false (and the slot given back) when `caller` has no room.
  bool confirm(const CallerIdentity& caller);

 private:
  ConnectionLimits limits_;
  CallerIdentity counted_;
  ConnectionLimits::Ticket ticket_;
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

// One admitted connection, on its own thread: read the first bytes, name
// the caller through the pipe, confirm its admission, serve it (the first
// bytes are read again by the handler), then flush and disconnect. A client
// that sends nothing, cannot be named or has no room is disconnected without
// an answer. A failed allocation ends this connection only. The connection
// thread closes the instance afterwards.
inline constexpr std::size_t kFirstReadBytes = 4096;  // the most the first read takes
void serve_client(PipeInstance& pipe, Admission& admission, const ConnectionHandler& handler);

// The accept loop, one round at a time.
class AcceptLoop {
 public:
  AcceptLoop(PipeHost& host, Clock& clock, ConnectionHandler handler, ConnectionLimits limits = ConnectionLimits());
  // Makes sure an instance waits (waiting kCreateRetryDelay if it cannot be
  // created), waits for a client, creates the next instance, then counts the
  // connection against its client's process and hands an admitted one to a
  // connection thread. One over a bound, or one no thread can be started
  // for, is disconnected at once.
  void accept_one();

 private:
  std::unique_ptr<PipeInstance> create(bool first);
  void hand_over(std::shared_ptr<PipeInstance> connected);

  PipeHost& host_;
  Clock& clock_;
  ConnectionHandler handler_;
  ConnectionLimits limits_;
  FirstInstanceRule rule_;
  std::unique_ptr<PipeInstance> waiting_;
  // Once the server owns the name it never holds zero instances of it, so
  // another process cannot take the name in between and have later instances
  // join it: an instance whose wait failed, or a connected one whose
  // successor could not be created, stays open here until the next one exists.
  std::shared_ptr<PipeInstance> held_;
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
