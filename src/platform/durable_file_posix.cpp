#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "platform/durable_file.h"

namespace velk {
namespace {

class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() { if (fd_ >= 0) ::close(fd_); }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  bool close() {
    int fd = fd_;
    fd_ = -1;
    return ::close(fd) == 0;
  }

 private:
  int fd_;
};

}  // namespace

bool write_file_flushed(const std::filesystem::path& path, std::string_view bytes) {
  Fd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  if (fd.get() < 0) return false;
  while (!bytes.empty()) {
    ssize_t n = ::write(fd.get(), bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  if (::fsync(fd.get()) != 0) return false;
  return fd.close();
}

bool replace_file(const std::filesystem::path& from, const std::filesystem::path& to) {
  if (::rename(from.c_str(), to.c_str()) != 0) return false;
  // The rename lives in the directory: flush that too (best effort; the
  // rename itself has happened either way).
  std::filesystem::path dir = to.parent_path();
  if (dir.empty()) dir = ".";
  Fd d(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (d.get() >= 0) (void)::fsync(d.get());
  return true;
}

DeleteResult delete_file(const std::filesystem::path& path) {
  if (::unlink(path.c_str()) == 0) return DeleteResult::deleted;
  if (errno == ENOENT || errno == ENOTDIR) return DeleteResult::not_found;
  return DeleteResult::failed;
}

}  // namespace velk
