#include <windows.h>

#include <algorithm>

#include "ipc/control_client_io.h"
#include "ipc/pipe_server_access.h"
#include "platform/text.h"
#include "platform/unique_handle_win32.h"

namespace velk {
namespace {

class PipeConnection final : public HelperConnection {
 public:
  explicit PipeConnection(HANDLE pipe) : pipe_(pipe) {}

  bool write_all(std::string_view bytes) override {
    while (!bytes.empty()) {
      DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size(), MAXDWORD));
      DWORD written = 0;
      if (!WriteFile(pipe_.get(), bytes.data(), chunk, &written, nullptr) || written == 0) return false;
      bytes.remove_prefix(written);
    }
    return true;
  }

  std::optional<std::size_t> read(std::span<char> buffer) override {
    DWORD want = static_cast<DWORD>(std::min<std::size_t>(buffer.size(), MAXDWORD));
    DWORD got = 0;
    if (ReadFile(pipe_.get(), buffer.data(), want, &got, nullptr)) return got;
    DWORD error = GetLastError();
    // The helper closed its end: the stream is over.
    if (error == ERROR_BROKEN_PIPE || error == ERROR_PIPE_NOT_CONNECTED) return 0;
    return std::nullopt;
  }

  std::optional<std::uint32_t> server_pid() override {
    ULONG pid = 0;
    if (!GetNamedPipeServerProcessId(pipe_.get(), &pid)) return std::nullopt;
    return pid;
  }

 private:
  UniqueHandle pipe_;
};

class PipeConnector final : public HelperConnector {
 public:
  std::unique_ptr<HelperConnection> open(std::string_view pipe_path) override {
    std::u16string name16 = utf16_from_utf8(pipe_path);
    std::wstring name(name16.begin(), name16.end());
    // Identification level: whoever serves the name may learn who we are but
    // can never act as us.
    HANDLE h = CreateFileW(name.c_str(), kClientPipeAccess,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                           SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr);
    if (h == INVALID_HANDLE_VALUE) return nullptr;
    return std::make_unique<PipeConnection>(h);
  }
};

}  // namespace

std::shared_ptr<HelperConnector> system_helper_connector() { return std::make_shared<PipeConnector>(); }

}  // namespace velk
