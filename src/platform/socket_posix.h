#pragma once
// The owner of one socket descriptor.

#include <unistd.h>

namespace velk {

class UniqueSocket {
 public:
  explicit UniqueSocket(int fd) : fd_(fd) {}
  ~UniqueSocket() {
    if (fd_ >= 0) ::close(fd_);
  }
  UniqueSocket(const UniqueSocket&) = delete;
  UniqueSocket& operator=(const UniqueSocket&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

}  // namespace velk
