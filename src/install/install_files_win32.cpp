#include <windows.h>

#include <aclapi.h>
#include <sddl.h>

#include "install/install_files.h"
#include "platform/file_security_win32.h"
#include "platform/state_dir.h"
#include "platform/text.h"
#include "platform/unique_handle_win32.h"

namespace velk {
namespace {

FileError last_error() {
  DWORD code = GetLastError();
  if (code == 0) code = ERROR_GEN_FAILURE;
  return FileError{code};
}

bool is_a_directory(const std::filesystem::path& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// Protected lists of SYSTEM and Administrators only: a directory's is
// inherited by what is made inside it.
constexpr wchar_t kPrivateFile[] = L"D:P(A;;FA;;;SY)(A;;FA;;;BA)";
constexpr wchar_t kPrivateDirectory[] = L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";

bool descriptor_of(const wchar_t* sddl, UniqueLocal<PSECURITY_DESCRIPTOR>& descriptor) {
  return ::ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, descriptor.put(), nullptr) &&
         descriptor.get() != nullptr;
}

AccessRule rule_of(const AceView& ace) {
  AccessRule rule;
  rule.inherit_only = (ace.flags & INHERIT_ONLY_ACE) != 0;
  if (ace.type != ACCESS_ALLOWED_ACE_TYPE && ace.type != ACCESS_DENIED_ACE_TYPE) {
    rule.kind = AccessRule::Kind::other;
    rule.sid = "?";
    return rule;
  }
  rule.kind = ace.type == ACCESS_ALLOWED_ACE_TYPE ? AccessRule::Kind::allow : AccessRule::Kind::deny;
  rule.sid = ace.sid.value_or("?");
  rule.mask = ace.mask;
  return rule;
}

// The owner and access list of what `h` is open on (READ_CONTROL).
std::optional<FileSecurity> security_of(HANDLE h) {
  const std::optional<SecurityView> view = read_security(h);
  if (!view) return std::nullopt;
  FileSecurity security;
  security.owner = view->owner.value_or("?");
  security.has_dacl = view->has_dacl;
  for (const std::optional<AceView>& ace : view->entries) {
    if (!ace) return std::nullopt;
    security.rules.push_back(rule_of(*ace));
  }
  return security;
}

bool set_dacl(const std::filesystem::path& path, SECURITY_INFORMATION what, PACL dacl) {
  std::wstring name = path.wstring();
  return ::SetNamedSecurityInfoW(name.data(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION | what, nullptr, nullptr, dacl,
                                 nullptr) == ERROR_SUCCESS;
}

bool write_all(HANDLE h, std::string_view bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    DWORD wrote = 0;
    if (!::WriteFile(h, bytes.data() + done, static_cast<DWORD>(bytes.size() - done), &wrote, nullptr) || wrote == 0) {
      return false;
    }
    done += wrote;
  }
  return ::FlushFileBuffers(h) != 0;
}

std::optional<std::string> read_all(HANDLE h, std::size_t max_bytes) {
  LARGE_INTEGER size{};
  if (!::GetFileSizeEx(h, &size) || static_cast<unsigned long long>(size.QuadPart) > max_bytes) return std::nullopt;
  std::string bytes(static_cast<std::size_t>(size.QuadPart), '\0');
  std::size_t done = 0;
  while (done < bytes.size()) {
    DWORD got = 0;
    if (!::ReadFile(h, bytes.data() + done, static_cast<DWORD>(bytes.size() - done), &got, nullptr) || got == 0) {
      return std::nullopt;
    }
    done += got;
  }
  return bytes;
}

class Win32InstallFiles final : public InstallFiles {
 public:
  FileError rename(const std::filesystem::path& from, const std::filesystem::path& to, RenameSync sync) override {
    DWORD flags = MOVEFILE_REPLACE_EXISTING;
    if (sync == RenameSync::write_through) flags |= MOVEFILE_WRITE_THROUGH;
    if (MoveFileExW(from.c_str(), to.c_str(), flags)) return {};
    return last_error();
  }
  bool exists(const std::filesystem::path& path) override {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
  }
  std::optional<std::vector<std::string>> list(const std::filesystem::path& dir) override {
    WIN32_FIND_DATAW data{};
    HANDLE find = FindFirstFileW((dir / L"*").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) return std::nullopt;
    std::vector<std::string> names;
    do {
      std::wstring name = data.cFileName;
      if (name == L"." || name == L"..") continue;
      names.push_back(utf8_from_utf16(std::u16string(name.begin(), name.end())));
    } while (FindNextFileW(find, &data));
    const DWORD end = GetLastError();
    FindClose(find);
    if (end != ERROR_NO_MORE_FILES) return std::nullopt;
    return names;
  }
  FileError create_private_directory(const std::filesystem::path& dir) override {
    UniqueLocal<PSECURITY_DESCRIPTOR> descriptor;
    if (!descriptor_of(kPrivateDirectory, descriptor)) return last_error();
    SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor.get(), FALSE};
    if (CreateDirectoryW(dir.c_str(), &attributes)) return {};
    const FileError e = last_error();
    if (e.code != ERROR_ALREADY_EXISTS) return e;
    return is_a_directory(dir) ? FileError{} : e;
  }
  FileError open_exclusive(const std::filesystem::path& path) override {
    UniqueHandle h(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!h) return last_error();
    return {};
  }
  bool remove_file(const std::filesystem::path& path) override {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0) {
      (void)SetFileAttributesW(path.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);  // or it cannot be deleted
    }
    return DeleteFileW(path.c_str()) != 0;
  }
  bool remove_directory(const std::filesystem::path& dir) override { return RemoveDirectoryW(dir.c_str()) != 0; }
  bool delete_at_restart(const std::filesystem::path& path) override {
    return MoveFileExW(path.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT) != 0;
  }

  std::optional<FileSecurity> security(const std::filesystem::path& path) override {
    UniqueHandle h(CreateFileW(path.c_str(), READ_CONTROL, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                               nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!h) return std::nullopt;
    return security_of(h.get());
  }

  bool make_private(const std::filesystem::path& path) override {
    UniqueLocal<PSECURITY_DESCRIPTOR> descriptor;
    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = nullptr;
    if (!descriptor_of(kPrivateFile, descriptor) || !GetSecurityDescriptorDacl(descriptor.get(), &present, &dacl, &defaulted) || !dacl) {
      return false;
    }
    return set_dacl(path, PROTECTED_DACL_SECURITY_INFORMATION, dacl);
  }

  bool make_inherited(const std::filesystem::path& path) override {
    // An empty list, unprotected: what the directory hands down is merged in.
    ACL empty{};
    if (!InitializeAcl(&empty, sizeof empty, ACL_REVISION)) return false;
    return set_dacl(path, UNPROTECTED_DACL_SECURITY_INFORMATION, &empty);
  }

  FileError write_private(const std::filesystem::path& file, std::string_view bytes) override {
    std::filesystem::path temporary = file;
    temporary += L".tmp";
    (void)remove_file(temporary);  // a leftover would keep its own list
    UniqueLocal<PSECURITY_DESCRIPTOR> descriptor;
    if (!descriptor_of(kPrivateFile, descriptor)) return last_error();
    SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor.get(), FALSE};
    {
      UniqueHandle h(CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, &attributes, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                                 nullptr));
      if (!h) return last_error();
      if (!write_all(h.get(), bytes)) {
        const FileError e = last_error();
        h = UniqueHandle();
        (void)remove_file(temporary);
        return e;
      }
    }
    const FileError e = rename(temporary, file, RenameSync::write_through);
    if (e) (void)remove_file(temporary);
    return e;
  }

  std::optional<SecuredFile> read_secured(const std::filesystem::path& file, std::size_t max_bytes) override {
    UniqueHandle h(CreateFileW(file.c_str(), GENERIC_READ | READ_CONTROL, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                               FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    BY_HANDLE_FILE_INFORMATION info{};
    if (!h || !GetFileInformationByHandle(h.get(), &info) ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0) {
      return std::nullopt;
    }
    std::optional<std::string> bytes = read_all(h.get(), max_bytes);
    if (!bytes) return std::nullopt;
    return SecuredFile{std::move(*bytes), info.nNumberOfLinks, security_of(h.get())};
  }

  std::optional<std::string> emulated_owner() override { return make_state_dir_system()->emulated_owner(); }
};

}  // namespace

std::unique_ptr<InstallFiles> system_install_files() { return std::make_unique<Win32InstallFiles>(); }

}  // namespace velk
