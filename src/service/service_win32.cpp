// The service host's calls into the Service Control Manager.

#include <windows.h>

#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "platform/this_executable_win32.h"
#include "service/serve.h"
#include "service/write_once.h"

#ifdef VELK_COVERAGE
extern "C" void __gcov_dump(void);
#endif

namespace velk {
namespace {

// The service main has no context of its own: it finds the serve mode's hooks
// here, stored once before the dispatcher starts.
WriteOnce<ServeHooks>& serve_hooks() {
  static WriteOnce<ServeHooks> hooks;
  return hooks;
}

DWORD WINAPI service_control_handler(DWORD control, DWORD /*event_type*/, LPVOID /*event_data*/, LPVOID context) {
  if (context == nullptr) return scm::kCallNotImplemented;
  return handle_service_control(*static_cast<HandlerContext*>(context), control);
}

class Win32ServiceHostOps final : public ServiceHostOps {
 public:
  bool register_handler(std::unique_ptr<HandlerContext>& context) override {
    handle_ = RegisterServiceCtrlHandlerExW(reinterpret_cast<LPCWSTR>(kServiceName.data()), service_control_handler,
                                            context.get());
    if (handle_ == nullptr) return false;
    context.release();  // the handler's until the process ends
    return true;
  }

  void report(const ServiceStatusReport& r) override {
    SERVICE_STATUS status{};
    status.dwServiceType = r.service_type;
    status.dwCurrentState = r.current_state;
    status.dwControlsAccepted = r.controls_accepted;
    status.dwWin32ExitCode = r.win32_exit_code;
    status.dwServiceSpecificExitCode = r.service_specific_exit_code;
    status.dwCheckPoint = r.check_point;
    status.dwWaitHint = r.wait_hint;
#ifdef VELK_COVERAGE
    // ExitProcess skips the exit handlers that write the coverage counters, and
    // once STOPPED is reported the dispatcher returns and main's exit runs at the
    // same time: the counters are written here, before either.
    if (r.current_state == SERVICE_STOPPED) __gcov_dump();
#endif
    SetServiceStatus(handle_, &status);  // a failed report changes nothing in the sequence
  }

  void start_worker(std::function<void()> body) override {
    try {
      std::thread(std::move(body)).detach();
    } catch (...) {
      std::abort();  // the service cannot run without its worker
    }
  }

  std::shared_ptr<StoppableSupervisor> published_supervisor() override {
    const ServeHooks* hooks = serve_hooks().get();
    return hooks && hooks->published_supervisor ? hooks->published_supervisor() : nullptr;
  }

  // Nothing is joined or told: the threads end with the process.
  void exit_process(int code) override { ExitProcess(static_cast<UINT>(code)); }

 private:
  SERVICE_STATUS_HANDLE handle_ = nullptr;
};

void WINAPI service_main(DWORD argc, LPWSTR* argv) {
  std::vector<std::wstring> start_parameters;  // collected, never used
  for (DWORD i = 0; i < argc; ++i) start_parameters.emplace_back(argv[i] ? argv[i] : L"");

  Win32ServiceHostOps ops;
  if (const int refused = helper_config().refused_exit; refused != 0) {
    refuse_service_main(ops, static_cast<std::uint32_t>(refused));
    return;
  }
  run_service_main(
      ops, system_clock(),
      [] {
        const ServeHooks* hooks = serve_hooks().get();
        if (hooks != nullptr) hooks->run_pipe_server(helper_config());
      },
      [] {
        const ServeHooks* hooks = serve_hooks().get();
        if (hooks == nullptr || !hooks->clean_out_moved_aside) return;
        (void)SetThreadPriority(GetCurrentThread(), THREAD_MODE_BACKGROUND_BEGIN);  // behind everything else
        hooks->clean_out_moved_aside(helper_config().state_dir);
      });
}

class Win32ServePlatform final : public ServePlatform {
 public:
  std::optional<std::filesystem::path> executable_path() override { return this_executable_path(); }

  std::u16string raw_command_line() override {
    const wchar_t* line = GetCommandLineW();
    if (line == nullptr) return {};
    return std::u16string(reinterpret_cast<const char16_t*>(line));
  }

  void run_service_dispatcher() override {
    std::wstring name(kServiceName.begin(), kServiceName.end());
    SERVICE_TABLE_ENTRYW table[] = {{name.data(), service_main}, {nullptr, nullptr}};
    StartServiceCtrlDispatcherW(table);  // a failure (not started by the SCM) ends the mode quietly
  }
};

}  // namespace

int run_serve(const HelperOptions& options, ServeHooks hooks) {
  serve_hooks().set(hooks);
  Win32ServePlatform platform;
  return run_serve_with(options, platform, hooks, default_state_dir(), [](HelperConfig config) -> const HelperConfig& {
    publish_helper_config(std::move(config));
    return helper_config();
  });
}

}  // namespace velk
