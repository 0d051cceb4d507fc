#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

#include "install/install_files.h"
#include "platform/state_dir.h"

namespace velk {
namespace {

FileError from_errno(int e) {
  std::uint32_t code = 1;
  if (e == ENOENT) code = 2;
  if (e == EACCES || e == EPERM) code = win32_error::kAccessDenied;
  if (e == EBUSY || e == ETXTBSY) code = win32_error::kSharingViolation;
  if (e == EEXIST || e == ENOTDIR) code = win32_error::kAlreadyExists;
  return FileError{code};
}

FileError from(const std::error_code& ec) { return ec ? from_errno(ec.value()) : FileError{}; }

// The directory's entries reach the disk (best effort).
void sync_directory(const std::filesystem::path& dir) {
  const int fd = ::open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  (void)::fsync(fd);
  ::close(fd);
}

FileSecurity security_of(const struct stat& st) {
  FileSecurity security{st.st_uid == 0 ? std::string(kLocalSystemSid) : "unix-uid-" + std::to_string(st.st_uid), true, {}};
  if ((st.st_mode & 022) != 0) security.rules.push_back({AccessRule::Kind::allow, "S-1-1-0", file_right::kWriteData, false});
  return security;
}

class PosixInstallFiles final : public InstallFiles {
 public:
  FileError rename(const std::filesystem::path& from_path, const std::filesystem::path& to,
                   RenameSync sync) override {
    std::error_code ec;
    std::filesystem::rename(from_path, to, ec);
    if (!ec && sync == RenameSync::write_through) {
      sync_directory(to.parent_path());
      sync_directory(from_path.parent_path());
    }
    return from(ec);
  }
  bool exists(const std::filesystem::path& path) override {
    std::error_code ec;
    return std::filesystem::exists(path, ec);
  }
  std::optional<std::vector<std::string>> list(const std::filesystem::path& dir) override {
    std::error_code ec;
    std::filesystem::directory_iterator it(dir, ec);
    if (ec) return std::nullopt;
    std::vector<std::string> names;
    for (; it != std::filesystem::directory_iterator(); it.increment(ec)) {
      if (ec) return std::nullopt;
      names.push_back(it->path().filename().string());
    }
    return names;
  }
  FileError create_private_directory(const std::filesystem::path& dir) override {
    if (::mkdir(dir.c_str(), 0700) == 0) return {};
    if (errno != EEXIST) return from_errno(errno);
    std::error_code ec;
    return std::filesystem::is_directory(dir, ec) ? FileError{} : FileError{win32_error::kAlreadyExists};
  }
  FileError open_exclusive(const std::filesystem::path& path) override {
    int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) return from_errno(errno);
    ::close(fd);
    return {};
  }
  bool remove_file(const std::filesystem::path& path) override { return ::unlink(path.c_str()) == 0; }
  bool remove_directory(const std::filesystem::path& dir) override { return ::rmdir(dir.c_str()) == 0; }
  bool delete_at_restart(const std::filesystem::path&) override { return false; }  // no such facility here

  // No descriptors here: the owner is the file's user (root standing for
  // LocalSystem), and write access for the group or others stands for a
  // list that lets everyone write.
  std::optional<FileSecurity> security(const std::filesystem::path& path) override {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return std::nullopt;
    return security_of(st);
  }
  bool make_private(const std::filesystem::path& path) override { return ::chmod(path.c_str(), 0600) == 0; }
  bool make_inherited(const std::filesystem::path& path) override { return ::chmod(path.c_str(), 0644) == 0; }
  FileError write_private(const std::filesystem::path& file, std::string_view bytes) override {
    std::filesystem::path temporary = file;
    temporary += ".tmp";
    (void)::unlink(temporary.c_str());
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) return from_errno(errno);
    const bool written = ::write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size()) && ::fsync(fd) == 0;
    ::close(fd);
    if (!written) return FileError{1};
    const FileError e = rename(temporary, file, RenameSync::write_through);
    if (e) (void)::unlink(temporary.c_str());
    return e;
  }
  std::optional<SecuredFile> read_secured(const std::filesystem::path& file, std::size_t max_bytes) override {
    const int fd = ::open(file.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    struct stat st {};
    std::optional<SecuredFile> found;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && static_cast<std::size_t>(st.st_size) <= max_bytes) {
      found = SecuredFile{std::string(static_cast<std::size_t>(st.st_size), '\0'),
                          static_cast<std::uint32_t>(st.st_nlink), security_of(st)};
      if (::read(fd, found->bytes.data(), found->bytes.size()) != static_cast<ssize_t>(found->bytes.size())) {
        found.reset();
      }
    }
    ::close(fd);
    return found;
  }
  std::optional<std::string> emulated_owner() override { return make_state_dir_system()->emulated_owner(); }
};

}  // namespace

std::unique_ptr<InstallFiles> system_install_files() { return std::make_unique<PosixInstallFiles>(); }

}  // namespace velk
