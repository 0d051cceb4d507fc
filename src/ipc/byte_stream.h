#pragma once
// A connected byte stream: the client's end of the control pipe as the request
// loop sees it. In-memory implementations stand in for the pipe under test.

#include <cstddef>
#include <span>
#include <string_view>

namespace velk {

class ByteStream {
 public:
  virtual ~ByteStream() = default;
  // Reads what is available, at most buffer.size() bytes, blocking until at
  // least one byte arrives. 0 means end of stream; a failure of the
  // underlying read is also reported as 0.
  virtual std::size_t read(std::span<char> buffer) = 0;
  // Writes every byte. False when a write fails or moves no byte; the
  // connection is then over.
  virtual bool write_all(std::string_view bytes) = 0;
};

}  // namespace velk
