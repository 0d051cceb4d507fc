#pragma once
// The engine's standard error: captured on a thread of its own, bounded in
// memory, drained to the end so the engine never blocks on a full pipe, and
// classified into the code that tells why the engine ended.

#include <cstddef>
#include <future>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <thread>

#include "platform/clock.h"
#include "platform/result.h"

namespace velk {

// The read end of a pipe (or anything like it). Closed when destroyed.
class ByteReader {
 public:
  virtual ~ByteReader() = default;
  // Up to buf.size() bytes: the count read, 0 at the end of the stream, none on
  // a read error.
  virtual std::optional<std::size_t> read(std::span<char> buf) = 0;
};

inline constexpr std::size_t kEngineOutputKept = 65536;
inline constexpr std::size_t kEngineOutputDrainChunk = 4096;

// Keeps the first 65536 bytes and discards the rest, 4096 bytes at a time,
// until the end of the stream or a read error. Returns the kept bytes.
std::string capture_engine_output(ByteReader& in);

// Lossy UTF-8, ASCII lower case, first match wins:
//   "operation not permitted" / "permission denied" /
//   "access is denied" (the Windows wording)               -> "tun_permission"
//   "decode config" / "create service" / "initialize"      -> "engine_config"
//   anything else                                          -> "engine_exit"
ErrorCode classify_engine_output(std::string_view kept);

// One reader thread per engine start. It owns the stream, closes it when done
// and hands its code back through join(). A reader that is still running when
// the attempt ends is abandoned (detached): it finishes on its own once the
// engine's end of the pipe is gone and touches nothing shared.
class OutputReader {
 public:
  OutputReader() = default;  // no reader: join() gives "engine_exit"
  // Starts reading on a new thread; if the thread cannot be started there is no
  // reader (the stream is closed).
  static OutputReader start(std::unique_ptr<ByteReader> stream);

  OutputReader(OutputReader&&) noexcept = default;
  OutputReader& operator=(OutputReader&& other) noexcept;
  OutputReader(const OutputReader&) = delete;
  OutputReader& operator=(const OutputReader&) = delete;
  ~OutputReader() { abandon(); }

  bool started() const { return thread_.joinable(); }
  // Waits for the end of the stream and returns the classification; "engine_exit"
  // when there is no reader.
  ErrorCode join();
  // As join(), but asks whether the reader has finished at most `polls` + 1
  // times, sleeping `step` on `clock` between the questions; a reader still
  // running then is abandoned and the result is none.
  std::optional<ErrorCode> join_within(Clock& clock, int polls, Clock::duration step);
  // Releases a running reader without waiting for it.
  void abandon();

 private:
  std::thread thread_;
  std::future<ErrorCode> result_;
};

}  // namespace velk
