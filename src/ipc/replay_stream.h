#pragma once
// A byte stream that first gives back bytes already read from another, then
// reads on from it: the connection's first bytes, read before the caller
// could be named, reach the request loop as if never taken.

#include <algorithm>
#include <cstring>

#include "ipc/byte_stream.h"

namespace velk {

class ReplayStream final : public ByteStream {
 public:
  ReplayStream(ByteStream& stream, std::span<const char> already_read) : stream_(stream), left_(already_read) {}

  std::size_t read(std::span<char> buffer) override {
    if (left_.empty()) return stream_.read(buffer);
    const std::size_t n = std::min(buffer.size(), left_.size());
    std::memcpy(buffer.data(), left_.data(), n);
    left_ = left_.subspan(n);
    return n;
  }
  bool write_all(std::string_view bytes) override { return stream_.write_all(bytes); }

 private:
  ByteStream& stream_;
  std::span<const char> left_;
};

}  // namespace velk
