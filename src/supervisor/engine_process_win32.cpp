// The engine process on Windows: CreateProcessW with redirected standard
// handles, only those three inherited, no window, created suspended inside the
// kill-on-close job (or, where the system refuses that, put into it before it
// runs), then let run.

#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "ipc/error_codes.h"
#include "platform/unique_handle_win32.h"
#include "platform/windows_args.h"
#include "supervisor/engine_process.h"
#include "supervisor/job_object.h"
#include "supervisor/job_object_win32.h"

namespace velk {
namespace {

// How long a suspended engine that could not be released is given to go.
constexpr DWORD kTerminateWaitMs = 5000;


constexpr DWORD kPipeBufferSize = 65536;  // a suggestion; room for a whole configuration

class HandleReader final : public ByteReader {
 public:
  explicit HandleReader(UniqueHandle h) : h_(std::move(h)) {}
  std::optional<std::size_t> read(std::span<char> buf) override {
    DWORD n = 0;
    DWORD want = static_cast<DWORD>(std::min<std::size_t>(buf.size(), 1u << 20));
    if (::ReadFile(h_.get(), buf.data(), want, &n, nullptr)) return static_cast<std::size_t>(n);
    if (::GetLastError() == ERROR_BROKEN_PIPE) return 0;  // the writer is gone: end of stream
    return std::nullopt;
  }

 private:
  UniqueHandle h_;
};

class Win32EngineProcess final : public EngineProcess {
 public:
  Win32EngineProcess(UniqueHandle process, UniqueHandle thread, UniqueHandle input, UniqueHandle errors,
                     std::optional<HANDLE> job)
      : process_(std::move(process)),
        thread_(std::move(thread)),
        input_(std::move(input)),
        errors_(std::make_unique<HandleReader>(std::move(errors))),
        job_(job) {}

  bool write_input_and_close(std::string_view text) override {
    if (!input_) return false;
    bool ok = true;
    std::size_t done = 0;
    while (done < text.size()) {
      DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(text.size() - done, 1u << 20));
      DWORD n = 0;
      if (!::WriteFile(input_.get(), text.data() + done, chunk, &n, nullptr) || n == 0) {
        ok = false;
        break;
      }
      done += n;
    }
    input_.reset();
    return ok;
  }

  std::unique_ptr<ByteReader> take_error_output() override { return std::move(errors_); }

  bool has_exited() override { return ::WaitForSingleObject(process_.get(), 0) != WAIT_TIMEOUT; }

  void kill() override { (void)::TerminateProcess(process_.get(), 1); }

  void wait() override { (void)::WaitForSingleObject(process_.get(), INFINITE); }

  // The helper runs one engine at a time, so what is in the job now is what
  // this engine left behind.
  void end_leftovers() override {
    if (job_) end_job_processes(*job_);
  }

 private:
  UniqueHandle process_;
  UniqueHandle thread_;
  UniqueHandle input_;
  std::unique_ptr<ByteReader> errors_;
  std::optional<HANDLE> job_;  // the launcher's, not owned
};

bool make_pipe(UniqueHandle& read_end, UniqueHandle& write_end) {
  return ::CreatePipe(read_end.put(), write_end.put(), nullptr, kPipeBufferSize) != 0;
}

bool missing_program(DWORD error) { return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND; }

bool inheritable(const UniqueHandle& h) { return ::SetHandleInformation(h.get(), HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT); }

class Win32EngineLauncher final : public EngineLauncher {
 public:
  Win32EngineLauncher() : job_(create_kill_on_close_job) {}

  Result<std::unique_ptr<EngineProcess>> start(const std::filesystem::path& program) override {
    // Parent ends stay private; only the child's three ends become inheritable.
    UniqueHandle in_read, in_write, err_read, err_write;
    if (!make_pipe(in_read, in_write) || !make_pipe(err_read, err_write)) return fail(err::engine_spawn);
    UniqueHandle null_out(::CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                        OPEN_EXISTING, 0, nullptr));
    if (!null_out || !inheritable(in_read) || !inheritable(err_write) || !inheritable(null_out)) {
      return fail(err::engine_spawn);
    }

    std::vector<std::u16string> parts;
    parts.push_back(program.u16string());
    for (std::string_view a : kEngineArguments) parts.emplace_back(a.begin(), a.end());
    std::u16string line16 = join_windows_command_line(parts);
    std::wstring line(line16.begin(), line16.end());
    std::wstring application = program.wstring();

    const std::optional<HANDLE> job = job_.get();
    SuspendedProcess created =
        create_suspended_process(application, line, {in_read.get(), null_out.get(), err_write.get()}, job);
    if (!created.process) {
      return fail(missing_program(created.error) ? err::engine_missing : err::engine_spawn);
    }
    UniqueHandle process(std::move(created.process)), thread(std::move(created.thread));
    const bool running = release_into_job<HANDLE>(
        job, created.in_job, [&](HANDLE j) { assign_to_job(j, process.get()); },
        [&] { return ::ResumeThread(thread.get()) != static_cast<DWORD>(-1); },
        [&] {
          (void)::TerminateProcess(process.get(), 1);
          (void)::WaitForSingleObject(process.get(), kTerminateWaitMs);
        });
    if (!running) return fail(err::engine_spawn);
    return std::unique_ptr<EngineProcess>(std::make_unique<Win32EngineProcess>(
        std::move(process), std::move(thread), std::move(in_write), std::move(err_read), job));
  }

 private:
  FirstUseJob<HANDLE> job_;  // never closed: the job must end with the helper
};

}  // namespace

std::unique_ptr<EngineLauncher> make_engine_launcher() { return std::make_unique<Win32EngineLauncher>(); }

}  // namespace velk
