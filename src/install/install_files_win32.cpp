#include <windows.h>

#include "install/install_files.h"
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

// CreateDirectoryW, where a directory already there is fine and anything
// else already there is not.
FileError make_directory(const std::filesystem::path& dir) {
  if (CreateDirectoryW(dir.c_str(), nullptr)) return {};
  const FileError e = last_error();
  if (e.code != ERROR_ALREADY_EXISTS) return e;
  return is_a_directory(dir) ? FileError{} : e;
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
  FileError create_directories(const std::filesystem::path& dir) override {
    const FileError e = make_directory(dir);
    if (e.code != ERROR_PATH_NOT_FOUND || !dir.has_parent_path() || dir.parent_path() == dir) return e;
    if (FileError parent = create_directories(dir.parent_path())) return parent;
    return make_directory(dir);
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
};

}  // namespace

std::unique_ptr<InstallFiles> system_install_files() { return std::make_unique<Win32InstallFiles>(); }

}  // namespace velk
