#include "install/service_ops.h"

#include <chrono>
#include <string>

#include "platform/text.h"
#include "platform/windows_args.h"

namespace velk {
namespace {

using namespace std::chrono_literals;

constexpr int kStopLimitSeconds = 20;
constexpr int kAfterKillPolls = 40;
constexpr int kDeleteLimitSeconds = 30;
constexpr int kCreateRetrySeconds = 29;
constexpr auto kStep = 250ms;

}  // namespace

ServiceRegistration helper_registration(const std::filesystem::path& exe_path) {
  ServiceRegistration r;
  r.display_name = std::string(kServiceDisplayName);
  r.type = scm::kOwnProcess;
  r.start_type = scm::kAutoStart;
  r.error_control = scm::kErrorNormal;
  r.command_line = utf8_from_utf16(quote_windows_argument(exe_path.u16string())) + " --service";
  r.dependencies = {"BFE"};
  return r;
}

FailureActions recovery_actions() {
  return FailureActions{60, {{scm::kRestart, 1000}, {scm::kRestart, 1000}, {scm::kRestart, 5000}}};
}

FailureActions cleared_recovery_actions() { return FailureActions{0, {}}; }

ServiceOps::ServiceOps(ServiceManager& scm, Taskkill& taskkill, Clock& clock)
    : scm_(scm), taskkill_(taskkill), clock_(clock) {}

bool ServiceOps::seconds_passed(Clock::time_point since, int seconds) {
  return std::chrono::duration_cast<std::chrono::seconds>(clock_.now() - since).count() >= seconds;
}

bool ServiceOps::stopped(ServiceHandle& service) {
  std::optional<ServiceStatus> status = service.query();
  return status && status->state == scm::kStopped;
}

bool ServiceOps::service_exists() { return scm_.open_service(scm::kQueryAccess).handle != nullptr; }

bool ServiceOps::service_absent() {
  OpenedService opened = scm_.open_service(scm::kQueryAccess);
  return !opened.handle && opened.error == scm::kDoesNotExist;
}

std::optional<ServiceStatus> ServiceOps::service_status() {
  OpenedService opened = scm_.open_service(scm::kQueryAccess);
  if (!opened.handle) return std::nullopt;
  return opened.handle->query();
}

bool ServiceOps::install_service(InstallLog& log, const std::filesystem::path& exe_path) {
  const ServiceRegistration registration = helper_registration(exe_path);
  OpenedService opened = scm_.open_service(scm::kControlAccess);
  if (opened.handle) {
    const std::uint32_t error = opened.handle->change_config(registration);
    // A service marked for deletion (a removal that a handle held elsewhere
    // kept from finishing) cannot be changed: once our handle is closed it is
    // waited out below and created afresh.
    if (error == scm::kMarkedForDelete) opened.handle.reset();
    else if (error != 0) return false;
  }
  if (!opened.handle) {
    const Clock::time_point first = clock_.now();
    for (;;) {
      opened = scm_.create_service(registration);
      if (opened.handle) break;
      // A deleted service lingers while someone still holds a handle to it.
      if (opened.error != scm::kMarkedForDelete || seconds_passed(first, kCreateRetrySeconds + 1)) return false;
      clock_.sleep_for(kStep);
    }
  }
  if (!opened.handle->set_failure_actions(recovery_actions())) log.log("could not set the recovery actions");
  return true;
}

bool ServiceOps::start_service() {
  OpenedService opened = scm_.open_service(scm::kControlAccess);
  return opened.handle && opened.handle->start();
}

bool ServiceOps::stop_service(InstallLog& log) {
  OpenedService opened = scm_.open_service(scm::kControlAccess);
  if (!opened.handle) return opened.error == scm::kDoesNotExist;
  ServiceHandle& service = *opened.handle;

  std::optional<std::uint32_t> pid;
  const Clock::time_point begun = clock_.now();
  while (!seconds_passed(begun, kStopLimitSeconds)) {
    std::optional<ServiceStatus> status = service.query();
    if (!status || status->state == scm::kStopped) break;
    if (status->pid) pid = status->pid;
    (void)service.control_stop();  // repeated on every pass
    clock_.sleep_for(kStep);
  }
  if (!stopped(service)) {
    log.log("the service did not stop in time: ending its process");
    if (std::optional<ServiceStatus> status = service.query(); status && status->pid) pid = status->pid;
    if (pid) run_taskkill("/PID", std::to_string(*pid));
    for (int i = 0; i < kAfterKillPolls; ++i) {
      if (stopped(service)) break;
      clock_.sleep_for(kStep);
    }
  }
  run_taskkill("/IM", "velkvpn-engine.exe");  // an engine left behind
  return stopped(service);
}

void ServiceOps::clear_recovery_actions(InstallLog& log) {
  OpenedService opened = scm_.open_service(scm::kControlAccess);
  if (!opened.handle) return;
  if (!opened.handle->set_failure_actions(cleared_recovery_actions())) log.log("could not clear the recovery actions");
}

ServiceOps::Deletion ServiceOps::delete_service() {
  {
    OpenedService opened = scm_.open_service(scm::kControlAccess);
    if (!opened.handle) return opened.error == scm::kDoesNotExist ? Deletion::gone : Deletion::failed;
    const std::uint32_t error = opened.handle->mark_for_delete();
    if (error != 0 && error != scm::kMarkedForDelete) return Deletion::failed;
  }  // our own handle must not keep it alive
  const Clock::time_point begun = clock_.now();
  for (;;) {
    if (seconds_passed(begun, kDeleteLimitSeconds)) return Deletion::held_elsewhere;
    OpenedService probe = scm_.open_service(scm::kQueryAccess);
    if (!probe.handle && probe.error == scm::kDoesNotExist) return Deletion::gone;
    probe.handle.reset();
    clock_.sleep_for(kStep);
  }
}

void ServiceOps::run_taskkill(std::string_view arg1, std::string_view arg2) { taskkill_.run(arg1, arg2); }

bool ServiceOps::restore_service(InstallLog& log, InstallFiles& files, const std::filesystem::path& install_dir,
                                 bool was_installed) {
  if (!was_installed) return true;
  const std::filesystem::path exe = install_dir / "velkvpn-helper.exe";
  if (!files.exists(exe)) return false;
  if (!install_service(log, exe)) return false;
  return start_service();
}

std::string taskkill_program(const std::optional<std::string>& system_root) {
  std::string dir = system_root && !system_root->empty() ? *system_root : std::string("C:\\Windows");
  if (dir.back() != '\\') dir += '\\';
  return dir + "System32\\taskkill.exe";
}

}  // namespace velk
