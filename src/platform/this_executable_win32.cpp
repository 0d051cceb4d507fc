#include "platform/this_executable_win32.h"

#include <windows.h>

#include <string>

namespace velk {

std::optional<std::filesystem::path> this_executable_path() {
  std::wstring buffer(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (n == 0) return std::nullopt;
    if (n < buffer.size()) return std::filesystem::path(buffer.substr(0, n));
    if (buffer.size() >= 32768) return std::nullopt;  // longer than any Windows path
    buffer.resize(buffer.size() * 2);
  }
}

}  // namespace velk
