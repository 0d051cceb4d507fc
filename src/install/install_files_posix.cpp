#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

#include "install/install_files.h"

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
  FileError create_directories(const std::filesystem::path& dir) override {
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    if (!ec && !std::filesystem::is_directory(dir, ec)) return FileError{win32_error::kAlreadyExists};
    return from(ec);
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
};

}  // namespace

std::unique_ptr<InstallFiles> system_install_files() { return std::make_unique<PosixInstallFiles>(); }

}  // namespace velk
