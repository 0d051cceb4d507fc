#include "service_control.h"

#include <thread>

#include "platform/unique_handle_win32.h"

namespace velk::test {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

}  // namespace

std::optional<ServiceControl> ServiceControl::create(const std::wstring& name, const std::wstring& command_line,
                                                     DWORD& error) {
  ScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  if (!manager) {
    error = GetLastError();
    return std::nullopt;
  }
  auto create_service = [&] {
    return ScHandle(CreateServiceW(manager.get(), name.c_str(), name.c_str(), SERVICE_ALL_ACCESS,
                                   SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                                   command_line.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr));
  };
  ScHandle service = create_service();
  if (!service && GetLastError() == ERROR_SERVICE_EXISTS) {
    // Left behind by an earlier run that was killed: delete it, register afresh.
    ScHandle stale(OpenServiceW(manager.get(), name.c_str(), SERVICE_ALL_ACCESS));
    if (stale) {
      SERVICE_STATUS status{};
      ControlService(stale.get(), SERVICE_CONTROL_STOP, &status);
      DeleteService(stale.get());
    }
    stale.reset();
    service = create_service();
  }
  if (!service) {
    error = GetLastError();
    return std::nullopt;
  }
  return ServiceControl(std::move(manager), std::move(service));
}

ServiceControl::~ServiceControl() {
  if (!service_) return;
  const DWORD state = query().dwCurrentState;
  if (state != SERVICE_STOPPED && state != 0) stop();
  DeleteService(service_.get());
}

SERVICE_STATUS_PROCESS ServiceControl::query() const {
  SERVICE_STATUS_PROCESS s{};
  DWORD needed = 0;
  if (!QueryServiceStatusEx(service_.get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<LPBYTE>(&s), sizeof s,
                            &needed)) {
    s = SERVICE_STATUS_PROCESS{};
  }
  return s;
}

bool ServiceControl::wait_for(DWORD state, std::chrono::milliseconds limit) const {
  const Clock::time_point deadline = Clock::now() + limit;
  for (;;) {
    if (query().dwCurrentState == state) return true;
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(20ms);
  }
}

bool ServiceControl::start(DWORD& error, std::chrono::milliseconds limit) {
  const Clock::time_point deadline = Clock::now() + limit;
  for (int attempt = 0; attempt < 2; ++attempt) {
    if (!StartServiceW(service_.get(), 0, nullptr)) {
      error = GetLastError();
      std::this_thread::sleep_for(1s);
      continue;
    }
    // RUNNING comes before the pipe exists; a process that cannot serve stops again.
    for (;;) {
      const DWORD state = query().dwCurrentState;
      if (state == SERVICE_RUNNING) return true;
      if (state == SERVICE_STOPPED) {
        error = ERROR_SERVICE_NOT_ACTIVE;
        return false;
      }
      if (Clock::now() >= deadline) {
        error = ERROR_SERVICE_REQUEST_TIMEOUT;
        return false;
      }
      std::this_thread::sleep_for(20ms);
    }
  }
  return false;
}

bool ServiceControl::stop(std::chrono::milliseconds limit) {
  const DWORD pid = query().dwProcessId;
  UniqueHandle process(pid ? OpenProcess(SYNCHRONIZE, FALSE, pid) : nullptr);
  SERVICE_STATUS status{};
  ControlService(service_.get(), SERVICE_CONTROL_STOP, &status);  // a stopped service refuses; the wait says
  const Clock::time_point deadline = Clock::now() + limit;
  if (!wait_for(SERVICE_STOPPED, limit)) return false;
  if (!process) return true;
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return WaitForSingleObject(process.get(), static_cast<DWORD>(std::max<long long>(left.count(), 0))) ==
         WAIT_OBJECT_0;
}

}  // namespace velk::test
