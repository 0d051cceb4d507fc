// Holding a state file natively: an exclusive advisory lock on a descriptor
// of its own (another descriptor, in this process or another, cannot take it).

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/state_files.h"

namespace velk {
namespace {

class LockedFile final : public HeldFile {
 public:
  explicit LockedFile(int fd) : fd_(fd) {}
  ~LockedFile() override { (void)::close(fd_); }  // the lock goes with the descriptor
  LockedFile(const LockedFile&) = delete;
  LockedFile& operator=(const LockedFile&) = delete;

 private:
  int fd_;
};

}  // namespace

ExclusiveHold hold_exclusively_at(const std::filesystem::path& path) {
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0600);
  if (fd < 0) return {};
  auto file = std::make_unique<LockedFile>(fd);
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return {};
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    return {errno == EWOULDBLOCK ? ExclusiveHold::Outcome::in_use : ExclusiveHold::Outcome::failed, nullptr};
  }
  return {ExclusiveHold::Outcome::held, std::move(file)};
}

}  // namespace velk
