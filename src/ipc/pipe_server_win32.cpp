// The control pipe on Windows: a local-only byte-mode pipe of overlapped
// instances whose descriptor admits LocalSystem, Administrators and
// interactive users (who may read and write, not create instances).

#include <windows.h>

#include <sddl.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <new>
#include <system_error>
#include <span>
#include <string_view>
#include <thread>
#include <utility>

#include "ipc/caller_identity_win32.h"
#include "ipc/pipe_server.h"
#include "ipc/pipe_server_access.h"
#include "ipc/pipe_server_io.h"
#include "ipc/pipe_server_win32.h"
#include "platform/text.h"
#include "platform/unique_handle_win32.h"

namespace velk {
namespace {

constexpr DWORD kPipeBufferSize = 65536;

static_assert(kPipeReadData == FILE_READ_DATA && kPipeWriteData == FILE_WRITE_DATA);
static_assert(kPipeCreateInstance == FILE_CREATE_PIPE_INSTANCE && kPipeWriteAttributes == FILE_WRITE_ATTRIBUTES);
static_assert(kPipeGenericReadRights == FILE_GENERIC_READ);

DWORD milliseconds(Clock::duration d) {
  return static_cast<DWORD>(std::chrono::duration_cast<std::chrono::milliseconds>(d).count());
}

// A thread-pool timer; its ticks run on the pool's threads.
class PoolAlarm final : public Alarm {
 public:
  ~PoolAlarm() override { disarm(); }

  bool arm(Clock::duration first, Clock::duration every, std::function<void()> tick) override {
    disarm();  // one timer at a time; its tick is done before tick_ changes
    tick_ = std::move(tick);
    HANDLE timer = nullptr;
    if (!CreateTimerQueueTimer(&timer, nullptr, &PoolAlarm::on_tick, this, milliseconds(first), milliseconds(every),
                               WT_EXECUTEDEFAULT)) {
      return false;  // timer_ stays empty: nothing for disarm to delete
    }
    timer_ = timer;
    return true;
  }
  void disarm() override {
    if (timer_ == nullptr) return;
    DeleteTimerQueueTimer(nullptr, timer_, INVALID_HANDLE_VALUE);  // waits for a tick under way
    timer_ = nullptr;
  }

 private:
  static void CALLBACK on_tick(void* self, BOOLEAN) { static_cast<PoolAlarm*>(self)->tick_(); }

  HANDLE timer_ = nullptr;
  std::function<void()> tick_;
};

// An instance opened for overlapped I/O. Every call waits for its own
// completion through the instance's event; a write the client takes nothing
// of, and the flush (a blocking call), are ended by CancelIoEx from a
// timer's thread.
class Win32PipeInstance final : public PipeInstance, private OverlappedPipe {
 public:
  Win32PipeInstance(UniqueHandle pipe, UniqueHandle event)
      : pipe_(std::move(pipe)), event_(std::move(event)), stream_(*this, write_alarm_) {}

  bool wait_for_client() override {
    if (!connect()) return false;
    connected_at_ = system_time_now();
    return true;
  }
  std::optional<CallerIdentity> identify_client_process() override {
    return velk::identify_client_process(pipe_.get(), connected_at_);
  }
  std::optional<CallerIdentity> identify_caller() override { return velk::identify_caller(pipe_.get(), connected_at_); }
  ByteStream& stream() override { return stream_; }
  void flush_and_disconnect() override {
    PoolAlarm alarm;
    flush_within_bound(*this, alarm);
  }

 private:
  void prepare() {
    overlapped_ = OVERLAPPED{};
    overlapped_.hEvent = event_.get();
  }
  bool connect() {
    prepare();
    if (ConnectNamedPipe(pipe_.get(), &overlapped_)) return true;
    const DWORD error = GetLastError();
    if (error == ERROR_PIPE_CONNECTED) return true;  // it came between creation and the wait
    if (error != ERROR_IO_PENDING) return false;
    return finish().has_value();
  }
  bool started(BOOL result) { return result || GetLastError() == ERROR_IO_PENDING; }

  bool start_read(std::span<char> buffer) override {
    prepare();
    return started(ReadFile(pipe_.get(), buffer.data(), static_cast<DWORD>(buffer.size()), nullptr, &overlapped_));
  }
  Start start_write(std::string_view bytes) override {
    prepare();
    if (WriteFile(pipe_.get(), bytes.data(), static_cast<DWORD>(bytes.size()), nullptr, &overlapped_)) {
      return Start::done;
    }
    return GetLastError() == ERROR_IO_PENDING ? Start::pending : Start::failed;
  }
  std::optional<std::size_t> finish() override {
    DWORD moved = 0;
    if (!GetOverlappedResult(pipe_.get(), &overlapped_, &moved, TRUE)) return std::nullopt;
    return moved;
  }
  void flush() override { FlushFileBuffers(pipe_.get()); }
  void cancel_all() override { CancelIoEx(pipe_.get(), nullptr); }
  void disconnect() override { DisconnectNamedPipe(pipe_.get()); }

  UniqueHandle pipe_;
  UniqueHandle event_;  // manual reset, as the overlapped calls need
  OVERLAPPED overlapped_{};
  std::uint64_t connected_at_ = 0;
  PoolAlarm write_alarm_;  // bounds the writes of stream_
  OverlappedStream stream_;
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
    const std::u16string sddl = utf16_from_utf8(kPipeSddl);
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(reinterpret_cast<LPCWSTR>(sddl.c_str()), SDDL_REVISION_1,
                                                              &descriptor, nullptr)) {
      return false;
    }
    attributes_.nLength = sizeof attributes_;
    attributes_.lpSecurityDescriptor = descriptor;
    attributes_.bInheritHandle = FALSE;
    return true;
  }

  std::unique_ptr<PipeInstance> create_instance(bool first_instance) override {
    UniqueHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!event) return nullptr;
    UniqueHandle pipe(CreateNamedPipeW(name_.c_str(), pipe_open_mode(first_instance), kPipeMode,
                                       PIPE_UNLIMITED_INSTANCES, kPipeBufferSize, kPipeBufferSize, 0, &attributes_));
    if (!pipe) return nullptr;
    return std::make_unique<Win32PipeInstance>(std::move(pipe), std::move(event));
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
