#include "fake_install_fs.h"

namespace velk::test {
namespace {

FileError injected() { return FileError{87}; }

}  // namespace

bool FakeInstallFs::held(const std::filesystem::path& path, std::uint32_t& code, Op op) {
  auto it = busy.find(path.filename().string());
  if (it == busy.end() || it->second.times == 0) return false;
  if (it->second.what == Held::renames_only && op != Op::rename) return false;
  if (it->second.what == Held::deletions_only && op != Op::remove) return false;
  if (it->second.times > 0) --it->second.times;
  code = op == Op::rename ? it->second.rename_code : win32_error::kSharingViolation;
  return true;
}

FileError FakeInstallFs::rename(const std::filesystem::path& from, const std::filesystem::path& to, RenameSync sync) {
  ++renames;
  if (plan_.fails("fs.rename " + from.filename().string())) return injected();
  std::uint32_t code = 0;
  if (held(from, code, Op::rename)) return FileError{code};
  const FileError e = real_->rename(from, to, sync);
  if (!e && sync == RenameSync::write_through && on_write_through) on_write_through();
  return e;
}

bool FakeInstallFs::exists(const std::filesystem::path& path) {
  if (plan_.fails("fs.exists")) return false;
  return real_->exists(path);
}

std::optional<std::vector<std::string>> FakeInstallFs::list(const std::filesystem::path& dir) {
  if (plan_.fails("fs.list")) return std::nullopt;
  return real_->list(dir);
}

FileError FakeInstallFs::create_directories(const std::filesystem::path& dir) {
  if (plan_.fails("fs.create_directories")) return injected();
  return real_->create_directories(dir);
}

FileError FakeInstallFs::open_exclusive(const std::filesystem::path& path) {
  if (plan_.fails("fs.open_exclusive")) return injected();
  std::uint32_t code = 0;
  if (held(path, code, Op::open)) return FileError{code};
  return real_->open_exclusive(path);
}

bool FakeInstallFs::remove_file(const std::filesystem::path& path) {
  if (plan_.fails("fs.remove_file")) return false;
  std::uint32_t code = 0;
  if (held(path, code, Op::remove)) return false;
  return real_->remove_file(path);
}

bool FakeInstallFs::remove_directory(const std::filesystem::path& dir) {
  if (plan_.fails("fs.remove_directory")) return false;
  return real_->remove_directory(dir);
}

bool FakeInstallFs::delete_at_restart(const std::filesystem::path& path) {
  if (plan_.fails("fs.delete_at_restart")) return false;
  at_restart.push_back(path);
  return true;
}

}  // namespace velk::test
