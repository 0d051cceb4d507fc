// The state directory on a POSIX file system (native runs): no descriptors are
// kept, so the owner is the file's user (root standing for LocalSystem) and the
// directory's mode stands for its access list (0700 when made here). The
// directory is reached by path; links are seen with lstat and never followed.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

#include "platform/state_dir.h"

namespace velk {
namespace {

std::string owner_of(uid_t uid) { return uid == 0 ? std::string(kLocalSystemSid) : "unix-uid-" + std::to_string(uid); }

PathInfo info_of(const std::filesystem::path& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) {
    return PathInfo{errno == ENOENT || errno == ENOTDIR ? EntryKind::missing : EntryKind::unknown, false, {}};
  }
  PathInfo info;
  info.security = DirSecurity{owner_of(st.st_uid), (st.st_mode & 077) == 0, {}};
  info.reparse_point = S_ISLNK(st.st_mode);
  info.kind = S_ISDIR(st.st_mode) ? EntryKind::directory : S_ISREG(st.st_mode) ? EntryKind::file : EntryKind::other;
  return info;
}

// The regular file open as `fd`, read whole, with what its descriptor shows.
std::optional<ReadEntry> read_open(int fd, std::size_t max_bytes) {
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || static_cast<std::size_t>(st.st_size) > max_bytes) {
    return std::nullopt;
  }
  ReadEntry found{EntryInfo{EntryKind::file, false, owner_of(st.st_uid), static_cast<std::uint32_t>(st.st_nlink)}, {}};
  char buffer[4096];
  for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) != 0;) {
    if (n < 0 || found.bytes.size() + static_cast<std::size_t>(n) > max_bytes) return std::nullopt;
    found.bytes.append(buffer, static_cast<std::size_t>(n));
  }
  return found;
}

class PosixHeldDir final : public HeldDir {
 public:
  explicit PosixHeldDir(std::filesystem::path dir) : dir_(dir), files_(state_files_at(std::move(dir))) {}
  PathInfo info() override { return info_of(dir_); }
  EntryInfo entry(std::string_view name) override {
    struct stat st {};
    if (::lstat((dir_ / name).c_str(), &st) != 0) return {};
    const PathInfo info = info_of(dir_ / name);
    return EntryInfo{info.kind, info.reparse_point, owner_of(st.st_uid), static_cast<std::uint32_t>(st.st_nlink)};
  }
  std::optional<std::vector<std::string>> names(std::size_t limit) override {
    std::vector<std::string> found;
    std::error_code ec;
    for (std::filesystem::directory_iterator it(dir_, ec), end; !ec && it != end; it.increment(ec)) {
      if (found.size() == limit) return std::nullopt;
      found.push_back(it->path().filename().string());
    }
    if (ec) return std::nullopt;
    return found;
  }
  std::optional<ReadEntry> read_entry(std::string_view name, std::size_t max_bytes) override {
    const int fd = ::open((dir_ / name).c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    std::optional<ReadEntry> found = read_open(fd, max_bytes);
    ::close(fd);
    return found;
  }
  StateEntry kind(std::string_view name) override { return files_->kind(name); }
  std::optional<std::string> read(std::string_view name, std::size_t max_bytes) override {
    return files_->read(name, max_bytes);
  }
  bool write_flushed(std::string_view name, std::string_view bytes) override {
    return files_->write_flushed(name, bytes);
  }
  bool replace(std::string_view from, std::string_view to) override { return files_->replace(from, to); }
  DeleteResult remove(std::string_view name) override { return files_->remove(name); }
  std::unique_ptr<AppendFile> open_append(std::string_view name) override { return files_->open_append(name); }
  ExclusiveHold hold_exclusively(std::string_view name) override { return files_->hold_exclusively(name); }

 private:
  const std::filesystem::path dir_;
  const std::shared_ptr<StateFiles> files_;
};

// Directories inside a tree moved aside are deleted to this depth at most.
constexpr int kMaxDeleteDepth = 64;

// Removes a link or a file with one name itself, a real directory after what
// is inside; a file with more names stays.
void delete_entry(const std::filesystem::path& path, int depth) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return;
  if (S_ISDIR(st.st_mode)) {
    if (depth >= kMaxDeleteDepth) return;
    std::error_code ec;
    for (std::filesystem::directory_iterator it(path, ec), end; !ec && it != end; it.increment(ec)) {
      delete_entry(it->path(), depth + 1);
    }
    (void)::rmdir(path.c_str());
    return;
  }
  if (!S_ISLNK(st.st_mode) && st.st_nlink > 1) return;
  (void)::unlink(path.c_str());
}

class PosixStateDirSystem final : public StateDirSystem {
 public:
  PathInfo inspect(const std::filesystem::path& path) override { return info_of(path); }

  bool create_parents(const std::filesystem::path& dir) override {
    std::error_code ec;
    std::filesystem::create_directories(dir.parent_path(), ec);
    return !ec;
  }

  bool create_directory(const std::filesystem::path& dir, const DirSecurity&) override {
    return ::mkdir(dir.c_str(), 0700) == 0;
  }

  std::unique_ptr<HeldDir> open_held(const std::filesystem::path& path) override {
    if (info_of(path).kind == EntryKind::missing) return nullptr;
    return std::make_unique<PosixHeldDir>(path);
  }

  bool move_aside(const std::filesystem::path& path, const std::filesystem::path& aside) override {
    return ::rename(path.c_str(), aside.c_str()) == 0;
  }

  void delete_tree(const std::filesystem::path& aside) override { delete_entry(aside, 0); }

  std::vector<std::string> names_in(const std::filesystem::path& dir) override {
    std::vector<std::string> found;
    std::error_code ec;
    for (std::filesystem::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
      found.push_back(it->path().filename().string());
    }
    return found;
  }

  std::string random_hex() override { return system_random_hex(); }

  std::optional<std::string> emulated_owner() override { return owner_of(::geteuid()); }
};

}  // namespace

std::unique_ptr<StateDirSystem> make_state_dir_system() { return std::make_unique<PosixStateDirSystem>(); }

}  // namespace velk
