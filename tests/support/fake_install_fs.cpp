#include "fake_install_fs.h"

namespace velk::test {
namespace {

FileError injected() { return FileError{87}; }

const std::string kUsersSid = "S-1-5-32-545";
constexpr std::uint32_t kReadRun = 0x1200A9;

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
  const bool moved_private = !e && private_.erase(from) > 0;  // the moved file keeps its own list
  if (!e) private_.erase(to);
  if (moved_private) private_.insert(to);
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

FileError FakeInstallFs::create_private_directory(const std::filesystem::path& dir) {
  if (plan_.fails("fs.create_private_directory")) return injected();
  return real_->create_private_directory(dir);
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

FileSecurity FakeInstallFs::program_files_folder() {
  constexpr std::uint32_t kFull = 0x1F01FF, kModify = 0x1301BF;
  return FileSecurity{std::string(kAdministratorsSid), true,
                      {{AccessRule::Kind::allow, std::string(kTrustedInstallerSid), kFull, false},
                       {AccessRule::Kind::allow, std::string(kLocalSystemSid), kModify, false},
                       {AccessRule::Kind::allow, std::string(kAdministratorsSid), kModify, false},
                       {AccessRule::Kind::allow, kUsersSid, kReadRun, false},
                       {AccessRule::Kind::allow, std::string(kCreatorOwnerSid), file_right::kGenericAll, true}}};
}

std::optional<FileSecurity> FakeInstallFs::security(const std::filesystem::path& path) {
  if (plan_.fails("fs.security") || !real_->exists(path)) return std::nullopt;
  return directory_security;
}

bool FakeInstallFs::users_may_open(const std::filesystem::path& path) const { return !private_.contains(path); }

bool FakeInstallFs::make_private(const std::filesystem::path& path) {
  return !plan_.fails("fs.make_private") && real_->exists(path) && private_.insert(path).first != private_.end();
}

bool FakeInstallFs::make_inherited(const std::filesystem::path& path) {  // only ever in the install directory
  return !plan_.fails("fs.make_inherited") && real_->exists(path) && private_.erase(path) <= 1;
}

FileError FakeInstallFs::write_private(const std::filesystem::path& file, std::string_view bytes) {
  if (plan_.fails("fs.write_private")) return injected();
  const FileError e = real_->write_private(file, bytes);
  if (!e) private_.insert(file);
  if (!e && on_write_through) on_write_through();  // it is renamed into place written through
  return e;
}

std::optional<SecuredFile> FakeInstallFs::read_secured(const std::filesystem::path& file, std::size_t max_bytes) {
  if (plan_.fails("fs.read_secured")) return std::nullopt;
  std::optional<SecuredFile> found = real_->read_secured(file, max_bytes);
  if (!found) return std::nullopt;
  found->security = FileSecurity{std::string(kAdministratorsSid), true, {}};
  if (users_may_open(file)) found->security->rules.push_back({AccessRule::Kind::allow, kUsersSid, kReadRun, false});
  return found;
}

}  // namespace velk::test
