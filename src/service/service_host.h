#pragma once
// The service's life under the Service Control Manager: what is reported when,
// how controls are answered, and how long a stop may wait for the engine.
// The SCM calls themselves sit behind ServiceHostOps (service_win32.cpp).

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string_view>

#include "platform/clock.h"
#include "service/stop_channel.h"

namespace velk {

inline constexpr std::u16string_view kServiceName = u"VelkVpnHelper";

namespace scm {
inline constexpr std::uint32_t kWin32OwnProcess = 0x10;
// Service states.
inline constexpr std::uint32_t kStopped = 1;
inline constexpr std::uint32_t kStopPending = 3;
inline constexpr std::uint32_t kRunning = 4;
// Controls accepted while running: stop and shutdown.
inline constexpr std::uint32_t kAcceptStopAndShutdown = 0x1 | 0x4;
// Control codes.
inline constexpr std::uint32_t kControlStop = 1;
inline constexpr std::uint32_t kControlPause = 2;
inline constexpr std::uint32_t kControlContinue = 3;
inline constexpr std::uint32_t kControlInterrogate = 4;
inline constexpr std::uint32_t kControlShutdown = 5;
inline constexpr std::uint32_t kControlParamChange = 6;
inline constexpr std::uint32_t kControlPreshutdown = 0x0F;
// Answers to a control.
inline constexpr std::uint32_t kNoError = 0;
inline constexpr std::uint32_t kCallNotImplemented = 120;
// The Win32 exit code that points at the service-specific one.
inline constexpr std::uint32_t kServiceSpecificError = 1066;  // ERROR_SERVICE_SPECIFIC_ERROR
}  // namespace scm

// The fields of one SetServiceStatus report.
struct ServiceStatusReport {
  std::uint32_t service_type = scm::kWin32OwnProcess;
  std::uint32_t current_state = 0;
  std::uint32_t controls_accepted = 0;
  std::uint32_t win32_exit_code = 0;
  std::uint32_t service_specific_exit_code = 0;
  std::uint32_t check_point = 0;
  std::uint32_t wait_hint = 0;

  bool operator==(const ServiceStatusReport&) const = default;
};

ServiceStatusReport running_report();
ServiceStatusReport stop_pending_report(std::uint32_t check_point);
ServiceStatusReport stopped_report();
// STOPPED with ERROR_SERVICE_SPECIFIC_ERROR and `code`, as the SCM shows a
// start that ended in a failure.
ServiceStatusReport refused_report(std::uint32_t code);

// The stop wait: one check of the engine, then a pause, up to 60 times.
inline constexpr std::uint32_t kStopPendingWaitHintMs = 10000;
inline constexpr std::uint32_t kLastStopCheckPoint = 61;
inline constexpr Clock::duration kStopPollInterval = std::chrono::milliseconds(100);

// The control handler's context: the stop channel's sender, released after
// the first stop, shutdown or preshutdown control.
struct HandlerContext {
  std::optional<StopSender> sender;
};

// The control handler table; returns the Win32 code for the SCM.
std::uint32_t handle_service_control(HandlerContext& context, std::uint32_t control);

// What the service host needs of the published supervisor.
class StoppableSupervisor {
 public:
  virtual ~StoppableSupervisor() = default;
  // Clears the desired request and wakes the engine thread; the kill switch stays.
  virtual void shutdown() = 0;
  // No engine process is alive.
  virtual bool engine_idle() = 0;
};

// The platform operations of the service main.
class ServiceHostOps {
 public:
  virtual ~ServiceHostOps() = default;
  // Registers the control handler with `context` as its context. On success
  // the handler owns the context from then on (it is moved out); on failure
  // it stays with the caller.
  virtual bool register_handler(std::unique_ptr<HandlerContext>& context) = 0;
  // One status report; failures are ignored.
  virtual void report(const ServiceStatusReport& status) = 0;
  // Runs `body` on a detached thread.
  virtual void start_worker(std::function<void()> body) = 0;
  // The supervisor the pipe server published, or null when none is yet.
  virtual std::shared_ptr<StoppableSupervisor> published_supervisor() = 0;
  // Ends the process (the fake used in tests records the code and returns).
  virtual void exit_process(int code) = 0;
};

// The service main: register, report RUNNING, start the worker running
// `run_server` and, on a worker of its own, `clean_out` (long work that must
// never hold up the start: the SCM, and an installer waiting for it, see
// RUNNING first), wait for a stop, shut the supervisor down within the bound,
// report STOPPED and end the process.
void run_service_main(ServiceHostOps& ops, Clock& clock, std::function<void()> run_server,
                      std::function<void()> clean_out = {});

// The service main of a process that may not serve (another process serves
// its state directory): register, report STOPPED with `code`
// (refused_report) and end the process with it. Nothing else runs.
void refuse_service_main(ServiceHostOps& ops, std::uint32_t code);

}  // namespace velk
