#include <windows.h>

#include <array>

#include "install/manifest_file.h"
#include "platform/unique_handle_win32.h"

namespace velk {

bool read_file_chunks(const std::filesystem::path& file,
                      const std::function<void(std::string_view)>& on_chunk, FileIdentity* identity) {
  UniqueHandle h(::CreateFileW(file.c_str(), GENERIC_READ,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN,
                               nullptr));
  if (!h) return false;
  if (identity) {
    BY_HANDLE_FILE_INFORMATION info{};
    if (!::GetFileInformationByHandle(h.get(), &info)) return false;
    identity->volume = info.dwVolumeSerialNumber;
    identity->file = (std::uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow;
  }
  std::array<char, kFileChunkSize> buffer;
  for (;;) {
    DWORD n = 0;
    if (!::ReadFile(h.get(), buffer.data(), static_cast<DWORD>(buffer.size()), &n, nullptr)) {
      return false;
    }
    if (n == 0) return true;
    on_chunk(std::string_view(buffer.data(), n));
  }
}

}  // namespace velk
