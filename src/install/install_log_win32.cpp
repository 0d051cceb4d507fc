#include <windows.h>

#include "install/install_log.h"
#include "platform/unique_handle_win32.h"

namespace velk {
namespace {

class Win32LogFile final : public LogFile {
 public:
  explicit Win32LogFile(HANDLE h) : h_(h) {}
  void append(std::string_view bytes) override {
    DWORD written = 0;
    WriteFile(h_.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  }

 private:
  UniqueHandle h_;
};

}  // namespace

std::unique_ptr<LogFile> open_log_file(const std::filesystem::path& path) {
  HANDLE h = CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                         nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return nullptr;
  return std::make_unique<Win32LogFile>(h);
}

}  // namespace velk
