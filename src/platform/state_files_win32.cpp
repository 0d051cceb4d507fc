// Holding a state file on Windows, reached by path: opened without sharing,
// so every other open that reads, writes or deletes it fails while it is held.

#include <windows.h>

#include "platform/state_files.h"
#include "platform/unique_handle_win32.h"

namespace velk {
namespace {

class UnsharedFile final : public HeldFile {
 public:
  explicit UnsharedFile(UniqueHandle h) : h_(std::move(h)) {}

 private:
  UniqueHandle h_;
};

}  // namespace

ExclusiveHold hold_exclusively_at(const std::filesystem::path& path) {
  UniqueHandle h(::CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!h) {
    return {::GetLastError() == ERROR_SHARING_VIOLATION ? ExclusiveHold::Outcome::in_use
                                                        : ExclusiveHold::Outcome::failed,
            nullptr};
  }
  FILE_ATTRIBUTE_TAG_INFO info{};
  if (!::GetFileInformationByHandleEx(h.get(), FileAttributeTagInfo, &info, sizeof info) ||
      (info.FileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0) {
    return {};
  }
  return {ExclusiveHold::Outcome::held, std::make_unique<UnsharedFile>(std::move(h))};
}

}  // namespace velk
