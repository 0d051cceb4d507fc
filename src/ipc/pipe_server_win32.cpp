// The control pipe on Windows: a local-only byte-mode pipe whose descriptor
// admits LocalSystem, Administrators and interactive users.

#include <windows.h>

#include <sddl.h>

#include <algorithm>
#include <chrono>
#include <new>
#include <system_error>
#include <thread>

#include "ipc/caller_identity_win32.h"
#include "ipc/pipe_server.h"
#include "ipc/pipe_server_win32.h"
#include "platform/text.h"
#include "platform/unique_handle_win32.h"

namespace velk {
namespace {

constexpr wchar_t kPipeSddl[] = L"D:P(A;;GA;;;SY)(A;;GA;;;BA)(A;;GRGW;;;IU)";
constexpr DWORD kPipeBufferSize = 65536;

class PipeStream final : public ByteStream {
 public:
  explicit PipeStream(HANDLE pipe) : pipe_(pipe) {}

  std::size_t read(std::span<char> buffer) override {
    DWORD want = static_cast<DWORD>(std::min<std::size_t>(buffer.size(), MAXDWORD));
    DWORD got = 0;
    if (!ReadFile(pipe_, buffer.data(), want, &got, nullptr)) return 0;
    return got;
  }

  bool write_all(std::string_view bytes) override {
    while (!bytes.empty()) {
      DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size(), MAXDWORD));
      DWORD written = 0;
      if (!WriteFile(pipe_, bytes.data(), chunk, &written, nullptr) || written == 0) return false;
      bytes.remove_prefix(written);
    }
    return true;
  }

 private:
  HANDLE pipe_;
};

class Win32PipeInstance final : public PipeInstance {
 public:
  explicit Win32PipeInstance(HANDLE pipe) : pipe_(pipe), stream_(pipe) {}

  bool wait_for_client() override {
    if (ConnectNamedPipe(pipe_.get(), nullptr)) return true;
    return GetLastError() == ERROR_PIPE_CONNECTED;
  }
  std::optional<CallerIdentity> identify_caller() override { return velk::identify_caller(pipe_.get()); }

  static void CALLBACK disconnect_late(void* pipe, BOOLEAN) { DisconnectNamedPipe(static_cast<HANDLE>(pipe)); }
  ByteStream& stream() override { return stream_; }
  void flush_and_disconnect() override {
    // A timer disconnects the client if it has not read everything in time,
    // which ends the wait of FlushFileBuffers. Without a timer nothing waits.
    HANDLE timer = nullptr;
    const DWORD bound_ms = static_cast<DWORD>(std::chrono::duration_cast<std::chrono::milliseconds>(kFlushBound).count());
    if (CreateTimerQueueTimer(&timer, nullptr, &Win32PipeInstance::disconnect_late, pipe_.get(), bound_ms, 0,
                              WT_EXECUTEONLYONCE)) {
      FlushFileBuffers(pipe_.get());
      DeleteTimerQueueTimer(nullptr, timer, INVALID_HANDLE_VALUE);  // waits for a callback under way
    }
    DisconnectNamedPipe(pipe_.get());
  }

 private:
  UniqueHandle pipe_;
  PipeStream stream_;
};

class Win32PipeHost final : public PipeHost {
 public:
  explicit Win32PipeHost(const std::string& socket_path) {
    std::u16string name = utf16_from_utf8(socket_path);
    name_.assign(name.begin(), name.end());  // c_str() supplies the terminating NUL
  }

  bool build_security_descriptor() override {
    // Lives as long as the process: every instance of the server uses it.
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(kPipeSddl, SDDL_REVISION_1, &descriptor, nullptr)) {
      return false;
    }
    attributes_.nLength = sizeof attributes_;
    attributes_.lpSecurityDescriptor = descriptor;
    attributes_.bInheritHandle = FALSE;
    return true;
  }

  std::unique_ptr<PipeInstance> create_instance(bool first_instance) override {
    HANDLE h = CreateNamedPipeW(name_.c_str(), pipe_open_mode(first_instance), kPipeMode, PIPE_UNLIMITED_INSTANCES,
                                kPipeBufferSize, kPipeBufferSize, 0, &attributes_);
    if (h == INVALID_HANDLE_VALUE) return nullptr;
    return std::make_unique<Win32PipeInstance>(h);
  }

  bool start_thread(std::function<void()> body) override {
    try {
      std::thread(std::move(body)).detach();
      return true;
    } catch (const std::system_error&) {
      return false;
    } catch (const std::bad_alloc&) {
      return false;
    }
  }

 private:
  std::wstring name_;
  SECURITY_ATTRIBUTES attributes_{};
};

}  // namespace

void run_pipe_server(const std::string& socket_path, const ServerHooks& hooks) {
  Win32PipeHost host(socket_path);
  serve_pipe(host, system_clock(), hooks);
}

}  // namespace velk
