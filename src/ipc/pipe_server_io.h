#pragma once
// The I/O of one overlapped pipe instance, as plain logic over thin calls:
// reads and writes wait for their own completion, a write the client takes
// nothing of is ended by cancelling it once kWriteBound has passed, and so
// is the last flush once kFlushBound has passed.
//
// Why cancel rather than disconnect: on Windows a disconnect from another
// thread waits behind a flush still pending on a synchronous handle, so a
// client that never reads would hold the connection for ever. On an
// overlapped instance nothing serialises the calls, and a cancel ends the
// pending flush wherever it was issued from.

#include <cstddef>
#include <functional>
#include <optional>
#include <span>
#include <string_view>

#include "ipc/byte_stream.h"
#include "ipc/pipe_server.h"
#include "platform/clock.h"

namespace velk {

// One overlapped instance. Its calls are made one at a time by the thread
// that owns the instance, except cancel_all, which any thread may call.
class OverlappedPipe {
 public:
  enum class Start { failed, done, pending };
  virtual ~OverlappedPipe() = default;
  // Start a read into, or a write from, `buffer`; false (failed) when the
  // call could not be started (then there is nothing to finish). A write
  // tells whether it was done at once or is pending.
  virtual bool start_read(std::span<char> buffer) = 0;
  virtual Start start_write(std::string_view bytes) = 0;
  // Waits for the call started last to end: the bytes it moved, absent when
  // it failed or was cancelled. The buffer is the system's until then.
  virtual std::optional<std::size_t> finish() = 0;
  // Blocks until the client has read everything written, the call fails or
  // it is cancelled.
  virtual void flush() = 0;
  // Cancels whatever call is pending on the instance.
  virtual void cancel_all() = 0;
  virtual void disconnect() = 0;
};

// A timer that runs `tick` on a thread of its own after `first`, then every
// `every` until it is disarmed.
class Alarm {
 public:
  virtual ~Alarm() = default;
  // False when no timer could be made (nothing will tick).
  virtual bool arm(Clock::duration first, Clock::duration every, std::function<void()> tick) = 0;
  // Stops the ticks; returns once no tick runs any more.
  virtual void disarm() = 0;
};

// Once the bound has passed the cancel is repeated at this pace, so a flush
// that began just after a cancel (its thread was late) is ended all the same.
inline constexpr Clock::duration kCancelRepeat = std::chrono::milliseconds(100);

// How long one part of an answer may wait for the client to take it, and
// the size of those parts: a client that stops reading in the middle of an
// answer loses its connection after this long, as at the last flush.
inline constexpr Clock::duration kWriteBound = kFlushBound;
inline constexpr std::size_t kWritePart = 16384;

// The connection's byte stream over an overlapped instance. Reads wait as
// long as the client stays (an idle connection is kept); each part of a
// write that is still pending after kWriteBound is cancelled through
// `alarm`, and the write fails. Without a timer a pending write is
// cancelled at once.
class OverlappedStream final : public ByteStream {
 public:
  OverlappedStream(OverlappedPipe& pipe, Alarm& alarm) : pipe_(pipe), alarm_(alarm) {}
  std::size_t read(std::span<char> buffer) override;
  bool write_all(std::string_view bytes) override;

 private:
  std::optional<std::size_t> finish_write_within_bound();

  OverlappedPipe& pipe_;
  Alarm& alarm_;
};

// Waits for the client to read what was written, at most kFlushBound (then
// the flush is cancelled), and disconnects it. Without a timer there is no
// wait at all: the client is disconnected at once.
void flush_within_bound(OverlappedPipe& pipe, Alarm& alarm);

}  // namespace velk
