// The state directory on Windows. Every open names the entry itself, never a
// link's target (FILE_FLAG_OPEN_REPARSE_POINT, FILE_OPEN_REPARSE_POINT), and
// what an entry is gets judged on the handle so opened. The held directory
// denies delete sharing, so it cannot be renamed, deleted or turned into a
// link while it is held; its files are opened relative to its handle, renamed
// with that handle as the root and deleted through their own handles.
//
// What a name in the held directory is (asked at every status) is one query
// that opens nothing: it names the entry by the path the held handle reports
// for its directory, which stays that directory's path while it is held (no
// ancestor of an open directory can be renamed or deleted), and it reports a
// link as the link itself. (A query relative to the handle would be the same
// on Windows, but Wine ignores the handle there.) A directory whose path
// cannot be read is asked through a handle opened relative to it.

#include <windows.h>
#include <winternl.h>

#include <aclapi.h>
#include <sddl.h>

#include <vector>

#include "platform/file_security_win32.h"
#include "platform/privileges_win32.h"
#include "platform/state_dir.h"
#include "platform/text.h"
#include "platform/unique_handle_win32.h"

namespace velk {
namespace {

constexpr NTSTATUS kNameNotFound = static_cast<NTSTATUS>(0xC0000034);  // STATUS_OBJECT_NAME_NOT_FOUND
constexpr NTSTATUS kPathNotFound = static_cast<NTSTATUS>(0xC000003A);  // STATUS_OBJECT_PATH_NOT_FOUND
constexpr NTSTATUS kSharingViolation = static_cast<NTSTATUS>(0xC0000043);  // STATUS_SHARING_VIOLATION
constexpr ULONG kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
// Directories inside a tree moved aside are deleted to this depth at most.
constexpr int kMaxDeleteDepth = 64;

using NtCreateFileFn = NTSTATUS(NTAPI*)(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES, PIO_STATUS_BLOCK, PLARGE_INTEGER,
                                        ULONG, ULONG, ULONG, ULONG, PVOID, ULONG);
// FILE_BASIC_INFO has the layout of the native FILE_BASIC_INFORMATION.
using NtQueryAttributesFileFn = NTSTATUS(NTAPI*)(POBJECT_ATTRIBUTES, FILE_BASIC_INFO*);

FARPROC ntdll_export(const char* name) {
  HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
  return ntdll == nullptr ? nullptr : ::GetProcAddress(ntdll, name);
}

template <class Fn>
Fn ntdll_function(const char* name) {
  return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(ntdll_export(name)));
}

// A name as the native calls take it: relative to `root`, or a full NT name without one.
class ObjectName {
 public:
  ObjectName(HANDLE root, std::u16string name) : wide_(std::move(name)) {
    valid_ = !wide_.empty() && wide_.size() <= 0x7FFF;
    object_name_.Buffer = reinterpret_cast<PWSTR>(wide_.data());
    object_name_.Length = static_cast<USHORT>(wide_.size() * sizeof(char16_t));
    object_name_.MaximumLength = object_name_.Length;
    InitializeObjectAttributes(&attributes_, &object_name_, OBJ_CASE_INSENSITIVE, root, nullptr);
  }
  ObjectName(const ObjectName&) = delete;
  ObjectName& operator=(const ObjectName&) = delete;
  bool valid() const { return valid_; }
  OBJECT_ATTRIBUTES* attributes() { return &attributes_; }

 private:
  std::u16string wide_;
  bool valid_ = false;
  UNICODE_STRING object_name_{};
  OBJECT_ATTRIBUTES attributes_{};
};

struct OpenResult {
  UniqueHandle handle;
  bool not_found = false;
  bool in_use = false;  // held elsewhere without the sharing this open asked for
};

// Opens `name` inside the directory `root` as the entry itself.
OpenResult open_at(HANDLE root, std::string_view name, ACCESS_MASK access, ULONG share, ULONG disposition,
                   ULONG options) {
  static const auto nt_create_file = ntdll_function<NtCreateFileFn>("NtCreateFile");
  OpenResult result;
  ObjectName relative(root, utf16_from_utf8(name));
  if (nt_create_file == nullptr || !relative.valid()) return result;
  IO_STATUS_BLOCK io{};
  HANDLE raw = nullptr;
  const NTSTATUS status =
      nt_create_file(&raw, access | SYNCHRONIZE, relative.attributes(), &io, nullptr, FILE_ATTRIBUTE_NORMAL, share,
                     disposition, options | FILE_OPEN_REPARSE_POINT | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
  if (status >= 0) {
    result.handle = UniqueHandle(raw);
  } else {
    result.not_found = status == kNameNotFound || status == kPathNotFound;
    result.in_use = status == kSharingViolation;
  }
  return result;
}

// The NT name of the directory open as `h` ("\??\C:\ProgramData\VELK VPN"),
// as the handle reports it; empty when it cannot be read.
std::u16string nt_name_of(HANDLE h) {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = ::GetFinalPathNameByHandleW(h, path.data(), static_cast<DWORD>(path.size()),
                                                FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (n == 0 || n > 0x7FFF) return {};
    if (n < path.size()) {
      path.resize(n);
      break;
    }
    path.resize(n + 1);
  }
  if (!path.starts_with(L"\\\\?\\")) return {};
  return u"\\??\\" + std::u16string(path.begin() + 4, path.end());
}

// What stands at `name` in the directory named `dir` (an NT name), in one
// query that opens no handle for the caller; the attributes are those of the
// entry itself (a link is reported as a reparse point, never as what it
// points to).
StateEntry query_kind(const std::u16string& dir, std::string_view name) {
  static const auto nt_query_attributes_file = ntdll_function<NtQueryAttributesFileFn>("NtQueryAttributesFile");
  if (name.find_first_of("\\/") != std::string_view::npos) return StateEntry::other;
  ObjectName full(nullptr, dir + u"\\" + utf16_from_utf8(name));
  if (nt_query_attributes_file == nullptr || !full.valid()) return StateEntry::other;
  FILE_BASIC_INFO basic{};
  const NTSTATUS status = nt_query_attributes_file(full.attributes(), &basic);
  if (status == kNameNotFound || status == kPathNotFound) return StateEntry::missing;
  if (status < 0) return StateEntry::other;  // something that is neither a file nor a directory, or unreadable
  return (basic.FileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0 ? StateEntry::file
                                                                                                 : StateEntry::other;
}

std::optional<DWORD> attributes_of(HANDLE h) {
  FILE_ATTRIBUTE_TAG_INFO info{};
  if (!::GetFileInformationByHandleEx(h, FileAttributeTagInfo, &info, sizeof info)) return std::nullopt;
  return info.FileAttributes;
}

std::uint32_t link_count(HANDLE h) {
  FILE_STANDARD_INFO standard{};
  if (!::GetFileInformationByHandleEx(h, FileStandardInfo, &standard, sizeof standard)) return 0;
  return standard.NumberOfLinks;
}

bool is_regular_file(HANDLE h) {
  const std::optional<DWORD> a = attributes_of(h);
  return a && (*a & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0;
}

AccessEntry entry_of(const std::optional<AceView>& ace) {
  constexpr BYTE kInheritFlags = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;
  if (!ace || ace->type != ACCESS_ALLOWED_ACE_TYPE || (ace->flags & ~kInheritFlags) != 0) return {"?"};
  AccessEntry entry;
  entry.sid = ace->sid.value_or("?");
  entry.full_control = ace->mask == FILE_ALL_ACCESS || ace->mask == GENERIC_ALL;
  entry.object_inherit = (ace->flags & OBJECT_INHERIT_ACE) != 0;
  entry.container_inherit = (ace->flags & CONTAINER_INHERIT_ACE) != 0;
  return entry;
}

std::optional<DirSecurity> security_of(HANDLE h) {
  const std::optional<SecurityView> view = read_security(h);
  if (!view) return std::nullopt;
  DirSecurity security;
  security.owner = view->owner.value_or("?");
  security.protected_dacl = view->protected_dacl;
  if (!view->has_dacl) {
    security.entries.push_back({"?"});  // no list at all: everyone may do anything
    return security;
  }
  for (const std::optional<AceView>& ace : view->entries) security.entries.push_back(entry_of(ace));
  return security;
}

PathInfo info_of(HANDLE h) {
  const std::optional<DWORD> a = attributes_of(h);
  if (!a) return PathInfo{EntryKind::unknown, false, {}};
  PathInfo info;
  info.reparse_point = (*a & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
  info.kind = (*a & FILE_ATTRIBUTE_DIRECTORY) ? EntryKind::directory : EntryKind::file;
  info.security = security_of(h);
  return info;
}

UniqueHandle open_itself(const std::filesystem::path& path, DWORD access, DWORD share) {
  return UniqueHandle(::CreateFileW(path.c_str(), access, share, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
}

// The parent directory, through which what stands in it is renamed and deleted.
UniqueHandle open_parent(const std::filesystem::path& path) {
  return UniqueHandle(::CreateFileW(path.parent_path().c_str(), FILE_LIST_DIRECTORY | FILE_TRAVERSE | SYNCHRONIZE,
                                    kShareAll, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
}

using NtSetInformationFileFn = NTSTATUS(NTAPI*)(HANDLE, PIO_STATUS_BLOCK, PVOID, ULONG, ULONG);
constexpr ULONG kFileRenameInformation = 10;

// Renames the entry open as `h` to `name` in the directory `root`. The name is
// handed to the file system as it is, relative to `root` (kernel32's wrapper
// may turn it into a path of the current directory first).
bool rename_to(HANDLE h, HANDLE root, std::string_view name, bool replace) {
  static const auto nt_set_information_file = ntdll_function<NtSetInformationFileFn>("NtSetInformationFile");
  const std::u16string wide = utf16_from_utf8(name);
  if (nt_set_information_file == nullptr || wide.empty()) return false;
  std::vector<unsigned char> buffer(sizeof(FILE_RENAME_INFO) + wide.size() * sizeof(char16_t));
  auto* info = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
  info->ReplaceIfExists = replace ? TRUE : FALSE;
  info->RootDirectory = root;
  info->FileNameLength = static_cast<DWORD>(wide.size() * sizeof(char16_t));
  std::copy(wide.begin(), wide.end(), reinterpret_cast<char16_t*>(info->FileName));
  IO_STATUS_BLOCK io{};
  return nt_set_information_file(h, &io, info, static_cast<ULONG>(buffer.size()), kFileRenameInformation) >= 0;
}

bool delete_through(HANDLE h) {
  FILE_DISPOSITION_INFO disposition{TRUE};
  return ::SetFileInformationByHandle(h, FileDispositionInfo, &disposition, sizeof disposition) != 0;
}

// Hands each name directly inside the directory open as `h` to `each`, one
// batch at a time, from the start of the listing; `each` returns false to stop.
template <class Each>
void for_each_name(HANDLE h, Each each) {
  std::vector<LONGLONG> buffer(16384 / sizeof(LONGLONG));  // aligned for the entries
  const auto* bytes = reinterpret_cast<const unsigned char*>(buffer.data());
  for (FILE_INFO_BY_HANDLE_CLASS batch = FileIdBothDirectoryRestartInfo;
       ::GetFileInformationByHandleEx(h, batch, buffer.data(), static_cast<DWORD>(buffer.size() * sizeof(LONGLONG)));
       batch = FileIdBothDirectoryInfo) {
    for (std::size_t offset = 0;;) {
      const auto* entry = reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(bytes + offset);
      const std::u16string name(reinterpret_cast<const char16_t*>(entry->FileName),
                                entry->FileNameLength / sizeof(char16_t));
      if (name != u"." && name != u".." && !each(utf8_from_utf16(name))) return;
      if (entry->NextEntryOffset == 0) break;
      offset += entry->NextEntryOffset;
    }
  }
}

constexpr ACCESS_MASK kDeleteAccess = DELETE | FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES;

// Deletes the entry open as `h`: a link itself, a file that has no other
// name, a real directory after everything inside it. Each entry inside is
// opened relative to its directory's handle, without backup intent (what
// this process may not delete stays), and judged on its own handle. A file
// with more than one link stays as it is: its attributes are shared with a
// file elsewhere.
void delete_entry(HANDLE h, int depth) {
  const std::optional<DWORD> a = attributes_of(h);
  if (!a) return;
  const bool directory = (*a & FILE_ATTRIBUTE_DIRECTORY) != 0;
  const bool link = (*a & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
  if (directory && !link) {
    if (depth >= kMaxDeleteDepth) return;
    for_each_name(h, [&](const std::string& name) {
      OpenResult child = open_at(h, name, kDeleteAccess, kShareAll, FILE_OPEN, 0);
      if (child.handle) delete_entry(child.handle.get(), depth + 1);
      return true;
    });
  }
  if (!directory && !link && link_count(h) != 1) return;
  if (*a & FILE_ATTRIBUTE_READONLY) {  // a read-only file cannot be deleted
    FILE_BASIC_INFO basic{};
    basic.FileAttributes = (*a & ~FILE_ATTRIBUTE_READONLY) | FILE_ATTRIBUTE_NORMAL;
    (void)::SetFileInformationByHandle(h, FileBasicInfo, &basic, sizeof basic);
  }
  (void)delete_through(h);
}

EntryInfo entry_info_of(HANDLE h) {
  const PathInfo info = info_of(h);
  std::optional<std::string> owner;
  if (info.security) owner = info.security->owner;
  return EntryInfo{info.kind, info.reparse_point, std::move(owner), link_count(h)};
}

// The whole content of the file open as `h`, when it is a regular file of at most `max_bytes`.
std::optional<std::string> read_whole(HANDLE h, std::size_t max_bytes) {
  LARGE_INTEGER size{};
  if (!is_regular_file(h) || !::GetFileSizeEx(h, &size) || static_cast<unsigned long long>(size.QuadPart) > max_bytes) {
    return std::nullopt;
  }
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

class Win32AppendFile final : public AppendFile {
 public:
  explicit Win32AppendFile(UniqueHandle h) : h_(std::move(h)) {}
  void append(std::string_view bytes) override {
    DWORD written = 0;
    (void)::WriteFile(h_.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  }

 private:
  UniqueHandle h_;
};

class UnsharedFile final : public HeldFile {
 public:
  explicit UnsharedFile(UniqueHandle h) : h_(std::move(h)) {}

 private:
  UniqueHandle h_;
};

class Win32HeldDir final : public HeldDir {
 public:
  explicit Win32HeldDir(UniqueHandle dir) : dir_(std::move(dir)), nt_name_(nt_name_of(dir_.get())) {}

  PathInfo info() override { return info_of(dir_.get()); }

  StateEntry kind(std::string_view name) override {
    if (!nt_name_.empty()) return query_kind(nt_name_, name);
    OpenResult found = open_at(dir_.get(), name, FILE_READ_ATTRIBUTES, kShareAll, FILE_OPEN, 0);
    if (found.not_found) return StateEntry::missing;
    return found.handle && is_regular_file(found.handle.get()) ? StateEntry::file : StateEntry::other;
  }

  EntryInfo entry(std::string_view name) override {
    OpenResult found = open_at(dir_.get(), name, READ_CONTROL | FILE_READ_ATTRIBUTES, kShareAll, FILE_OPEN, 0);
    if (found.not_found) return {};
    if (!found.handle) return EntryInfo{EntryKind::unknown, false, std::nullopt, 0};
    return entry_info_of(found.handle.get());
  }

  std::optional<std::vector<std::string>> names(std::size_t limit) override {
    std::vector<std::string> found;
    bool more = false;
    for_each_name(dir_.get(), [&](const std::string& name) {
      more = found.size() == limit;
      if (!more) found.push_back(name);
      return !more;
    });
    if (more) return std::nullopt;
    return found;
  }

  std::optional<std::string> read(std::string_view name, std::size_t max_bytes) override {
    OpenResult file = open_at(dir_.get(), name, FILE_READ_DATA | FILE_READ_ATTRIBUTES, FILE_SHARE_READ, FILE_OPEN,
                              FILE_NON_DIRECTORY_FILE);
    if (!file.handle || !is_regular_file(file.handle.get())) return std::nullopt;
    return read_whole(file.handle.get(), max_bytes);
  }

  std::optional<ReadEntry> read_entry(std::string_view name, std::size_t max_bytes) override {
    OpenResult file = open_at(dir_.get(), name, FILE_READ_DATA | READ_CONTROL | FILE_READ_ATTRIBUTES,
                              FILE_SHARE_READ, FILE_OPEN, FILE_NON_DIRECTORY_FILE);
    if (!file.handle) return std::nullopt;
    std::optional<std::string> bytes = read_whole(file.handle.get(), max_bytes);
    if (!bytes) return std::nullopt;
    return ReadEntry{entry_info_of(file.handle.get()), std::move(*bytes)};
  }

  bool write_flushed(std::string_view name, std::string_view bytes) override {
    if (kind(name) == StateEntry::other) return false;
    OpenResult file = open_at(dir_.get(), name, FILE_GENERIC_WRITE | FILE_READ_ATTRIBUTES, FILE_SHARE_READ,
                              FILE_OVERWRITE_IF, FILE_NON_DIRECTORY_FILE);
    if (!file.handle || !is_regular_file(file.handle.get())) return false;
    std::size_t done = 0;
    while (done < bytes.size()) {
      DWORD wrote = 0;
      if (!::WriteFile(file.handle.get(), bytes.data() + done, static_cast<DWORD>(bytes.size() - done), &wrote,
                       nullptr) ||
          wrote == 0) {
        return false;
      }
      done += wrote;
    }
    return ::FlushFileBuffers(file.handle.get()) != 0;
  }

  bool replace(std::string_view from, std::string_view to) override {
    OpenResult file = open_at(dir_.get(), from, DELETE | FILE_WRITE_DATA | FILE_READ_ATTRIBUTES, FILE_SHARE_READ,
                              FILE_OPEN, FILE_NON_DIRECTORY_FILE);
    if (!file.handle || !is_regular_file(file.handle.get())) return false;
    if (!rename_to(file.handle.get(), dir_.get(), to, true)) return false;
    return ::FlushFileBuffers(file.handle.get()) != 0;
  }

  DeleteResult remove(std::string_view name) override {
    OpenResult entry = open_at(dir_.get(), name, DELETE | FILE_READ_ATTRIBUTES, kShareAll, FILE_OPEN, 0);
    if (entry.not_found) return DeleteResult::not_found;
    if (!entry.handle) return DeleteResult::failed;
    return delete_through(entry.handle.get()) ? DeleteResult::deleted : DeleteResult::failed;
  }

  std::unique_ptr<AppendFile> open_append(std::string_view name) override {
    OpenResult file = open_at(dir_.get(), name, FILE_APPEND_DATA | FILE_READ_ATTRIBUTES, kShareAll, FILE_OPEN_IF,
                              FILE_NON_DIRECTORY_FILE);
    if (!file.handle || !is_regular_file(file.handle.get())) return nullptr;
    return std::make_unique<Win32AppendFile>(std::move(file.handle));
  }

  ExclusiveHold hold_exclusively(std::string_view name) override {
    // No sharing at all: every other open that reads, writes or deletes it
    // fails while this handle lives (looking at its attributes does not).
    OpenResult file = open_at(dir_.get(), name, FILE_READ_DATA | FILE_READ_ATTRIBUTES, 0, FILE_OPEN_IF,
                              FILE_NON_DIRECTORY_FILE);
    if (file.in_use) return {ExclusiveHold::Outcome::in_use, nullptr};
    if (!file.handle || !is_regular_file(file.handle.get())) return {};
    return {ExclusiveHold::Outcome::held, std::make_unique<UnsharedFile>(std::move(file.handle))};
  }

 private:
  const UniqueHandle dir_;
  const std::u16string nt_name_;  // empty when the handle could not tell its path
};

std::optional<std::string> own_account() {
  HANDLE raw = nullptr;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &raw)) return std::nullopt;
  UniqueHandle token(raw);
  alignas(TOKEN_USER) unsigned char buffer[512] = {};
  DWORD size = 0;
  if (!::GetTokenInformation(token.get(), TokenUser, buffer, sizeof buffer, &size)) return std::nullopt;
  return sid_string(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid);
}

class Win32StateDirSystem final : public StateDirSystem {
 public:

  PathInfo inspect(const std::filesystem::path& path) override {
    UniqueHandle h = open_itself(path, READ_CONTROL | FILE_READ_ATTRIBUTES, kShareAll);
    if (!h) {
      const DWORD e = ::GetLastError();
      const bool missing = e == ERROR_FILE_NOT_FOUND || e == ERROR_PATH_NOT_FOUND;
      return PathInfo{missing ? EntryKind::missing : EntryKind::unknown, false, {}};
    }
    return info_of(h.get());
  }

  bool create_parents(const std::filesystem::path& dir) override {
    std::error_code ec;
    std::filesystem::create_directories(dir.parent_path(), ec);
    return !ec;
  }

  bool create_directory(const std::filesystem::path& dir, const DirSecurity& security) override {
    const std::string sddl = to_sddl(security);
    const std::wstring wide(sddl.begin(), sddl.end());  // SDDL is ASCII
    UniqueLocal<PSECURITY_DESCRIPTOR> descriptor;
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(wide.c_str(), SDDL_REVISION_1, descriptor.put(),
                                                                nullptr)) {
      return false;
    }
    SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor.get(), FALSE};
    // Setting Administrators as the owner may take the restore privilege.
    ScopedThreadPrivileges privileges({SE_RESTORE_NAME});
    return ::CreateDirectoryW(dir.c_str(), &attributes) != 0;
  }

  std::unique_ptr<HeldDir> open_held(const std::filesystem::path& path) override {
    // No delete sharing: while this handle lives nobody renames or deletes it.
    UniqueHandle h = open_itself(path, FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES | READ_CONTROL |
                                           SYNCHRONIZE,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE);
    if (!h) return nullptr;
    return std::make_unique<Win32HeldDir>(std::move(h));
  }

  bool move_aside(const std::filesystem::path& path, const std::filesystem::path& aside) override {
    // A planter's access list may shut everyone else out of the directory:
    // the open and the rename may take backup and restore rights, enabled
    // for this thread and these calls only.
    ScopedThreadPrivileges privileges({SE_BACKUP_NAME, SE_RESTORE_NAME});
    UniqueHandle parent = open_parent(path);
    UniqueHandle h = open_itself(path, DELETE | FILE_READ_ATTRIBUTES | SYNCHRONIZE, kShareAll);
    if (!parent || !h) return false;
    return rename_to(h.get(), parent.get(), utf8_from_path(aside.filename()), false);
  }

  void delete_tree(const std::filesystem::path& aside) override {
    UniqueHandle parent = open_parent(aside);
    if (!parent) return;
    OpenResult top = open_at(parent.get(), utf8_from_path(aside.filename()), kDeleteAccess, kShareAll, FILE_OPEN, 0);
    if (top.handle) delete_entry(top.handle.get(), 0);
  }

  std::vector<std::string> names_in(const std::filesystem::path& dir) override {
    std::vector<std::string> found;
    UniqueHandle h(::CreateFileW(dir.c_str(), FILE_LIST_DIRECTORY | SYNCHRONIZE, kShareAll, nullptr, OPEN_EXISTING,
                                 FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!h) return found;
    for_each_name(h.get(), [&](const std::string& name) {
      found.push_back(name);
      return true;
    });
    return found;
  }

  std::string random_hex() override { return system_random_hex(); }

  std::optional<std::string> emulated_owner() override {
    // Wine keeps no security descriptors: it reports one made up from the
    // Unix mode, owned by the account the process runs as.
    if (ntdll_export("wine_get_version") == nullptr) return std::nullopt;
    return own_account();
  }
};

}  // namespace

std::unique_ptr<StateDirSystem> make_state_dir_system() { return std::make_unique<Win32StateDirSystem>(); }

}  // namespace velk
