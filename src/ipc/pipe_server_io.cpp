#include "ipc/pipe_server_io.h"

#include <algorithm>
#include <cstdint>
#include <limits>

namespace velk {
namespace {

// A single call moves at most this many bytes (the system counts in 32 bits).
constexpr std::size_t kMaxCallBytes = std::numeric_limits<std::uint32_t>::max();

}  // namespace

std::size_t OverlappedStream::read(std::span<char> buffer) {
  buffer = buffer.first(std::min(buffer.size(), kMaxCallBytes));
  if (!pipe_.start_read(buffer)) return 0;
  return pipe_.finish().value_or(0);
}

bool OverlappedStream::write_all(std::string_view bytes) {
  while (!bytes.empty()) {
    const OverlappedPipe::Start started = pipe_.start_write(bytes.substr(0, kWritePart));
    if (started == OverlappedPipe::Start::failed) return false;
    const std::optional<std::size_t> written =
        started == OverlappedPipe::Start::done ? pipe_.finish() : finish_write_within_bound();
    if (!written || *written == 0) return false;
    bytes.remove_prefix(std::min(*written, bytes.size()));
  }
  return true;
}

std::optional<std::size_t> OverlappedStream::finish_write_within_bound() {
  if (!alarm_.arm(kWriteBound, kCancelRepeat, [this] { pipe_.cancel_all(); })) {
    pipe_.cancel_all();  // nothing would bound the wait
    (void)pipe_.finish();
    return std::nullopt;
  }
  std::optional<std::size_t> written = pipe_.finish();
  alarm_.disarm();  // no cancel may reach a later call
  return written;
}

void flush_within_bound(OverlappedPipe& pipe, Alarm& alarm) {
  if (alarm.arm(kFlushBound, kCancelRepeat, [&pipe] { pipe.cancel_all(); })) {
    pipe.flush();
    alarm.disarm();  // no cancel may reach the disconnect or a later instance
  }
  pipe.disconnect();
}

}  // namespace velk
