#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>

#include "install/manifest_file.h"

namespace velk {
namespace {

class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

}  // namespace

bool read_file_chunks(const std::filesystem::path& file,
                      const std::function<void(std::string_view)>& on_chunk, FileIdentity* identity) {
  Fd fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) return false;
  if (identity) {
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) return false;
    identity->volume = static_cast<std::uint64_t>(st.st_dev);
    identity->file = static_cast<std::uint64_t>(st.st_ino);
  }
  std::array<char, kFileChunkSize> buffer;
  for (;;) {
    ssize_t n = ::read(fd.get(), buffer.data(), buffer.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) return true;
    on_chunk(std::string_view(buffer.data(), static_cast<std::size_t>(n)));
  }
}

}  // namespace velk
