// The state directory on Windows: what stands at a path is read through a
// handle opened on the path itself (FILE_FLAG_OPEN_REPARSE_POINT), and the
// directory's security is set through such a handle after checking it, so a
// link swapped in meanwhile is never followed.

#include <windows.h>

#include <aclapi.h>
#include <sddl.h>

#include "platform/state_dir.h"
#include "platform/text.h"
#include "platform/unique_handle_win32.h"

namespace velk {
namespace {

// Directories inside a planted tree are removed to this depth at most.
constexpr int kMaxRemoveDepth = 64;

std::optional<std::string> sid_text(PSID sid) {
  UniqueLocal<LPWSTR> text;
  if (sid == nullptr || !::ConvertSidToStringSidW(sid, text.put()) || text.get() == nullptr) return std::nullopt;
  return utf8_from_utf16(reinterpret_cast<const char16_t*>(text.get()));
}

UniqueHandle open_itself(const std::filesystem::path& path, DWORD access) {
  return UniqueHandle(::CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                                    nullptr));
}

PathInfo info_of(HANDLE h) {
  PathInfo info;
  BY_HANDLE_FILE_INFORMATION data{};
  if (!::GetFileInformationByHandle(h, &data)) return PathInfo{EntryKind::unknown, false, {}};
  info.reparse_point = (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
  info.kind = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ? EntryKind::directory : EntryKind::file;
  PSID owner = nullptr;
  UniqueLocal<PSECURITY_DESCRIPTOR> descriptor;
  if (::GetSecurityInfo(h, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr, nullptr,
                        descriptor.put()) == ERROR_SUCCESS) {
    info.owner = sid_text(owner);
  }
  return info;
}

PathInfo inspect_path(const std::filesystem::path& path) {
  UniqueHandle h = open_itself(path, READ_CONTROL | FILE_READ_ATTRIBUTES);
  if (!h) {
    const DWORD e = ::GetLastError();
    return PathInfo{e == ERROR_FILE_NOT_FOUND || e == ERROR_PATH_NOT_FOUND ? EntryKind::missing : EntryKind::unknown,
                    false, {}};
  }
  return info_of(h.get());
}

// The descriptor made from SDDL; null inside when it cannot be made.
void descriptor_of(const DirSecurity& security, UniqueLocal<PSECURITY_DESCRIPTOR>& descriptor) {
  const std::string sddl = to_sddl(security);
  const std::wstring wide(sddl.begin(), sddl.end());  // SDDL is ASCII
  (void)::ConvertStringSecurityDescriptorToSecurityDescriptorW(wide.c_str(), SDDL_REVISION_1, descriptor.put(),
                                                               nullptr);
}

// Lets this process set an owner other than itself and reach what a planter
// shut it out of. Privileges the token lacks are simply not there.
void enable_privileges() {
  HANDLE raw = nullptr;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &raw)) return;
  UniqueHandle token(raw);
  for (const wchar_t* name : {SE_TAKE_OWNERSHIP_NAME, SE_RESTORE_NAME, SE_BACKUP_NAME}) {
    TOKEN_PRIVILEGES tp{};
    tp.PrivilegeCount = 1;
    tp.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    if (::LookupPrivilegeValueW(nullptr, name, &tp.Privileges[0].Luid)) {
      (void)::AdjustTokenPrivileges(token.get(), FALSE, &tp, 0, nullptr, nullptr);
    }
  }
}

bool remove_entry(const std::filesystem::path& path, const PathInfo& info, int depth);

bool remove_children(const std::filesystem::path& dir, int depth) {
  WIN32_FIND_DATAW found{};
  HANDLE raw = ::FindFirstFileW((dir / L"*").c_str(), &found);
  if (raw == INVALID_HANDLE_VALUE) return ::GetLastError() == ERROR_FILE_NOT_FOUND;
  bool ok = true;
  do {
    const std::wstring name = found.cFileName;
    if (name == L"." || name == L"..") continue;
    PathInfo info;
    info.reparse_point = (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    info.kind = (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ? EntryKind::directory : EntryKind::file;
    ok = remove_entry(dir / name, info, depth + 1) && ok;
  } while (::FindNextFileW(raw, &found));
  ::FindClose(raw);
  return ok;
}

bool remove_entry(const std::filesystem::path& path, const PathInfo& info, int depth) {
  (void)::SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);  // a read-only file cannot be deleted
  if (info.kind != EntryKind::directory) return ::DeleteFileW(path.c_str()) != 0;
  // A junction or directory link goes as the link; its target is never entered.
  if (!info.reparse_point) {
    if (depth >= kMaxRemoveDepth || !remove_children(path, depth)) return false;
  }
  return ::RemoveDirectoryW(path.c_str()) != 0;
}

class Win32StateDirSystem final : public StateDirSystem {
 public:
  Win32StateDirSystem() { enable_privileges(); }

  PathInfo inspect(const std::filesystem::path& path) override { return inspect_path(path); }

  std::optional<std::vector<DirEntry>> list(const std::filesystem::path& dir) override {
    WIN32_FIND_DATAW found{};
    HANDLE raw = ::FindFirstFileW((dir / L"*").c_str(), &found);
    if (raw == INVALID_HANDLE_VALUE) {
      if (::GetLastError() == ERROR_FILE_NOT_FOUND) return std::vector<DirEntry>{};
      return std::nullopt;
    }
    std::vector<DirEntry> entries;
    do {
      const std::wstring name = found.cFileName;
      if (name == L"." || name == L"..") continue;
      entries.push_back(DirEntry{dir / name, inspect_path(dir / name)});
    } while (::FindNextFileW(raw, &found));
    ::FindClose(raw);
    return entries;
  }

  bool create_parents(const std::filesystem::path& dir) override {
    std::error_code ec;
    std::filesystem::create_directories(dir.parent_path(), ec);
    return !ec;
  }

  bool create_directory(const std::filesystem::path& dir, const DirSecurity& security) override {
    UniqueLocal<PSECURITY_DESCRIPTOR> descriptor;
    descriptor_of(security, descriptor);
    if (!descriptor.get()) return false;
    SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor.get(), FALSE};
    return ::CreateDirectoryW(dir.c_str(), &attributes) != 0;
  }

  bool secure_directory(const std::filesystem::path& dir, const DirSecurity& security) override {
    UniqueHandle h = open_itself(dir, READ_CONTROL | WRITE_DAC | WRITE_OWNER | FILE_READ_ATTRIBUTES);
    if (!h) return false;
    const PathInfo info = info_of(h.get());
    if (info.kind != EntryKind::directory || info.reparse_point) return false;
    UniqueLocal<PSECURITY_DESCRIPTOR> descriptor;
    descriptor_of(security, descriptor);
    if (!descriptor.get()) return false;
    PSID owner = nullptr;
    PACL dacl = nullptr;
    BOOL defaulted = FALSE, present = FALSE;
    if (!::GetSecurityDescriptorOwner(descriptor.get(), &owner, &defaulted) ||
        !::GetSecurityDescriptorDacl(descriptor.get(), &present, &dacl, &defaulted) || !present) {
      return false;
    }
    return ::SetSecurityInfo(h.get(), SE_FILE_OBJECT,
                             OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION |
                                 PROTECTED_DACL_SECURITY_INFORMATION,
                             owner, nullptr, dacl, nullptr) == ERROR_SUCCESS;
  }

  bool inherit_security(const std::filesystem::path& path) override {
    // An empty, unprotected list: what is left is what the directory hands down.
    ACL empty{};
    if (!::InitializeAcl(&empty, sizeof empty, ACL_REVISION)) return false;
    std::wstring name = path.wstring();
    return ::SetNamedSecurityInfoW(name.data(), SE_FILE_OBJECT,
                                   DACL_SECURITY_INFORMATION | UNPROTECTED_DACL_SECURITY_INFORMATION, nullptr,
                                   nullptr, &empty, nullptr) == ERROR_SUCCESS;
  }

  bool remove(const std::filesystem::path& path, const PathInfo& info) override { return remove_entry(path, info, 0); }

  std::optional<std::string> own_account() override {
    HANDLE raw = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &raw)) return std::nullopt;
    UniqueHandle token(raw);
    alignas(TOKEN_USER) unsigned char buffer[512] = {};
    DWORD size = 0;
    if (!::GetTokenInformation(token.get(), TokenUser, buffer, sizeof buffer, &size)) return std::nullopt;
    return sid_text(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid);
  }
};

}  // namespace

std::unique_ptr<StateDirSystem> make_state_dir_system() { return std::make_unique<Win32StateDirSystem>(); }

}  // namespace velk
