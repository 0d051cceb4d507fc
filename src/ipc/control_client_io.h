#pragma once
// The control client's transport: one connection to the helper's pipe, the
// bounded read of one answer line, and a call that gives up at a deadline
// while its worker carries on alone.

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "platform/clock.h"

namespace velk {

// An open client end of the pipe; destroying it closes it.
class HelperConnection {
 public:
  virtual ~HelperConnection() = default;
  virtual bool write_all(std::string_view bytes) = 0;
  // Bytes read; 0 at the end of the stream; absent when the read fails.
  virtual std::optional<std::size_t> read(std::span<char> buffer) = 0;
  // The id of the process serving the other end; none when unknown.
  virtual std::optional<std::uint32_t> server_pid() { return std::nullopt; }
};

// Whether the process serving a connection may be believed (it is given the
// server's process id, or none when that is unknown). Empty: anyone.
using ServerCheck = std::function<bool(std::optional<std::uint32_t> server_pid)>;

class HelperConnector {
 public:
  virtual ~HelperConnector() = default;
  // Opens an existing pipe at once (no waiting for a busy pipe); null when it
  // cannot be opened.
  virtual std::unique_ptr<HelperConnection> open(std::string_view pipe_path) = 0;
};

// The system's pipe client (Windows build only).
std::shared_ptr<HelperConnector> system_helper_connector();

inline constexpr std::size_t kAnswerReadBuffer = 8192;
inline constexpr std::size_t kMaxAnswerBytes = 262144;

// The answer's bytes up to and including the first line feed, at most
// kMaxAnswerBytes, read kAnswerReadBuffer at a time. What came before the end
// of the stream when no line feed arrived; absent when a read fails.
std::optional<std::string> read_answer_line(HelperConnection& connection);

// Opens `pipe_path`, writes `request` and a line feed, reads the answer line
// and closes the pipe. Absent when the pipe cannot be opened, its server is
// not `trusted` (then nothing is written), a write fails or a read fails.
std::optional<std::string> exchange_line(HelperConnector& connector, std::string_view pipe_path,
                                         std::string_view request, const ServerCheck& trusted = {});

// Starts `body` on a detached thread; false when no thread can be started.
using ThreadStarter = std::function<bool(std::function<void()> body)>;
ThreadStarter detached_thread_starter();

// Runs `work` on a worker started by `start` and waits at most `deadline`
// for its result. Gives none when the deadline passes, the worker ends
// without a result or cannot be started; a late result is dropped with the
// channel the worker shares.
template <class T>
std::optional<T> run_with_deadline(std::function<std::optional<T>()> work, Clock::duration deadline,
                                   const ThreadStarter& start) {
  struct Channel {
    std::mutex mutex;
    std::condition_variable ready;
    std::optional<T> value;
    bool done = false;
  };
  auto channel = std::make_shared<Channel>();
  bool started = start([channel, work = std::move(work)] {
    std::optional<T> result;
    try {
      result = work();
    } catch (...) {
      result.reset();  // no answer
    }
    std::lock_guard lock(channel->mutex);
    channel->value = std::move(result);
    channel->done = true;
    channel->ready.notify_all();
  });
  if (!started) return std::nullopt;
  std::unique_lock lock(channel->mutex);
  if (!channel->ready.wait_for(lock, deadline, [&] { return channel->done; })) return std::nullopt;
  return std::move(channel->value);
}

}  // namespace velk
