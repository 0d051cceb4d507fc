#include <windows.h>

#include <algorithm>

#include "platform/durable_file.h"
#include "platform/unique_handle_win32.h"

namespace velk {

bool write_file_flushed(const std::filesystem::path& path, std::string_view bytes) {
  UniqueHandle file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                  nullptr));
  if (!file) return false;
  while (!bytes.empty()) {
    DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size(), 1u << 20));
    DWORD written = 0;
    if (!::WriteFile(file.get(), bytes.data(), chunk, &written, nullptr) || written == 0) return false;
    bytes.remove_prefix(written);
  }
  if (!::FlushFileBuffers(file.get())) return false;
  return ::CloseHandle(file.release()) != 0;
}

bool replace_file(const std::filesystem::path& from, const std::filesystem::path& to) {
  return ::MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

DeleteResult delete_file(const std::filesystem::path& path) {
  if (::DeleteFileW(path.c_str())) return DeleteResult::deleted;
  DWORD e = ::GetLastError();
  if (e == ERROR_FILE_NOT_FOUND || e == ERROR_PATH_NOT_FOUND) return DeleteResult::not_found;
  return DeleteResult::failed;
}

}  // namespace velk
