#include "platform/random.h"

#include <sys/random.h>

#include <cerrno>

#include "ipc/error_codes.h"

namespace velk {

Outcome fill_random(std::span<std::uint8_t> buffer) {
  std::size_t done = 0;
  while (done < buffer.size()) {
    // Requests above 256 bytes may return short; a signal may interrupt.
    const ssize_t n = ::getrandom(buffer.data() + done, buffer.size() - done, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      return fail(err::engine_controller);
    }
    done += static_cast<std::size_t>(n);
  }
  return {};
}

}  // namespace velk
