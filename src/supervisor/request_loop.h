#pragma once
// The request loop of one pipe connection: read a line (bounded), decode it,
// carry out the command on the supervisor, answer with one line.

#include <array>
#include <cstddef>
#include <string>

#include "ipc/byte_stream.h"
#include "ipc/caller_identity.h"
#include "ipc/protocol.h"

namespace velk {

class Supervisor;

// A request line, its line feed included, may hold at most this many bytes.
inline constexpr std::size_t kMaxRequestLine = 262144;
inline constexpr std::size_t kRequestReadBuffer = 8192;

// Reads lines from a byte stream through a fixed buffer.
class LineReader {
 public:
  explicit LineReader(ByteStream& stream) : stream_(stream) {}
  // The bytes up to and including the next line feed, but at most `limit`
  // bytes; at the end of the stream, what was read before it. False when
  // nothing was read (end of stream or read failure).
  bool read_line(std::string& line, std::size_t limit);

 private:
  ByteStream& stream_;
  std::array<char, kRequestReadBuffer> buffer_{};
  std::size_t begin_ = 0;
  std::size_t end_ = 0;
};

// Carries out one decoded request for `caller` and returns its one answer.
Response handle_request(Supervisor& supervisor, const CallerIdentity& caller, const Request& request);

// Serves one connection until the client is gone, a write fails or a line is too large.
void serve_connection(Supervisor& supervisor, ByteStream& stream, const CallerIdentity& caller);

}  // namespace velk
