#include <windows.h>

#include "ipc/control_client.h"
#include "platform/unique_handle_win32.h"

namespace velk {

std::optional<std::uint32_t> helper_service_pid() {
  UniqueScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (!manager) return std::nullopt;
  UniqueScHandle service(OpenServiceW(manager.get(), L"VelkVpnHelper", SERVICE_QUERY_STATUS));
  if (!service) return std::nullopt;
  SERVICE_STATUS_PROCESS s{};
  DWORD needed = 0;
  if (!QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<LPBYTE>(&s), sizeof s, &needed) ||
      s.dwCurrentState != SERVICE_RUNNING) {
    return std::nullopt;
  }
  return s.dwProcessId;
}

const ControlClient& system_control_client() {
  static const ControlClient client(system_helper_connector(), system_clock(), detached_thread_starter(),
                                    kHelperCallDeadline, std::string(kDefaultPipePath),
                                    served_by_helper_service(helper_service_pid));
  return client;
}

}  // namespace velk
