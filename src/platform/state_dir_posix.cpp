// The state directory on a POSIX file system (native runs): the owner is the
// file's user, root standing for LocalSystem; the access list becomes mode 0700.

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
  info.owner = owner_of(st.st_uid);
  info.reparse_point = S_ISLNK(st.st_mode);
  info.kind = S_ISDIR(st.st_mode) ? EntryKind::directory : S_ISREG(st.st_mode) ? EntryKind::file : EntryKind::other;
  return info;
}

class PosixStateDirSystem final : public StateDirSystem {
 public:
  PathInfo inspect(const std::filesystem::path& path) override { return info_of(path); }

  std::optional<std::vector<DirEntry>> list(const std::filesystem::path& dir) override {
    std::error_code ec;
    std::vector<DirEntry> entries;
    for (std::filesystem::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
      entries.push_back(DirEntry{it->path(), info_of(it->path())});
    }
    if (ec) return std::nullopt;
    return entries;
  }

  bool create_parents(const std::filesystem::path& dir) override {
    std::error_code ec;
    std::filesystem::create_directories(dir.parent_path(), ec);
    return !ec;
  }

  bool create_directory(const std::filesystem::path& dir, const DirSecurity&) override {
    return ::mkdir(dir.c_str(), 0700) == 0;
  }

  bool secure_directory(const std::filesystem::path& dir, const DirSecurity&) override {
    const PathInfo info = info_of(dir);
    return info.kind == EntryKind::directory && !info.reparse_point && ::chmod(dir.c_str(), 0700) == 0;
  }

  bool inherit_security(const std::filesystem::path&) override { return true; }  // the directory's mode guards it

  bool remove(const std::filesystem::path& path, const PathInfo&) override {
    std::error_code ec;
    std::filesystem::remove_all(path, ec);  // removes links, never follows them
    return !ec;
  }

  std::optional<std::string> own_account() override { return owner_of(::geteuid()); }
};

}  // namespace

std::unique_ptr<StateDirSystem> make_state_dir_system() { return std::make_unique<PosixStateDirSystem>(); }

}  // namespace velk
