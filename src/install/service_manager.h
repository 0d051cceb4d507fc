#pragma once
// The Service Control Manager as the installer uses it, one call per
// operation, so that the service operations can run against a fake. Errors
// are Win32 error codes; 0 means the SCM itself could not be opened.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace velk {

inline constexpr std::string_view kServiceName = "VelkVpnHelper";
inline constexpr std::string_view kServiceDisplayName = "VELK VPN helper";

namespace scm {
inline constexpr std::uint32_t kOwnProcess = 0x10;        // SERVICE_WIN32_OWN_PROCESS
inline constexpr std::uint32_t kAutoStart = 2;            // SERVICE_AUTO_START
inline constexpr std::uint32_t kErrorNormal = 1;          // SERVICE_ERROR_NORMAL
inline constexpr std::uint32_t kControlAccess = 0x10037;  // delete, stop, start, query/change config, query status
inline constexpr std::uint32_t kQueryAccess = 0x4;        // SERVICE_QUERY_STATUS
inline constexpr std::uint32_t kStopped = 1;              // SERVICE_STOPPED
inline constexpr std::uint32_t kRunning = 4;              // SERVICE_RUNNING
inline constexpr std::uint32_t kRestart = 1;              // SC_ACTION_RESTART
inline constexpr std::uint32_t kDoesNotExist = 1060;      // ERROR_SERVICE_DOES_NOT_EXIST
inline constexpr std::uint32_t kMarkedForDelete = 1072;   // ERROR_SERVICE_MARKED_FOR_DELETE
}  // namespace scm

// The values every install or update writes.
struct ServiceRegistration {
  std::string display_name;
  std::uint32_t type = 0;
  std::uint32_t start_type = 0;
  std::uint32_t error_control = 0;
  std::string command_line;  // UTF-8
  std::vector<std::string> dependencies;

  bool operator==(const ServiceRegistration&) const = default;
};

struct FailureAction {
  std::uint32_t type = 0;
  std::uint32_t delay_ms = 0;
  bool operator==(const FailureAction&) const = default;
};

struct FailureActions {
  std::uint32_t reset_period_s = 0;
  std::vector<FailureAction> actions;  // empty: every action removed
  bool operator==(const FailureActions&) const = default;
};

// Current state; the process id only while the state is RUNNING.
struct ServiceStatus {
  std::uint32_t state = 0;
  std::optional<std::uint32_t> pid;
};

// An open service handle; closed when destroyed.
class ServiceHandle {
 public:
  virtual ~ServiceHandle() = default;
  virtual std::optional<ServiceStatus> query() = 0;
  // ChangeServiceConfigW: 0, or the Win32 error (kMarkedForDelete once deleted).
  virtual std::uint32_t change_config(const ServiceRegistration& registration) = 0;
  virtual bool set_failure_actions(const FailureActions& actions) = 0;
  virtual bool start() = 0;
  virtual bool control_stop() = 0;
  // DeleteService: 0, or the Win32 error (kMarkedForDelete when it already is).
  virtual std::uint32_t mark_for_delete() = 0;
};

struct OpenedService {
  std::unique_ptr<ServiceHandle> handle;  // null on failure
  std::uint32_t error = 0;
};

class ServiceManager {
 public:
  virtual ~ServiceManager() = default;
  // Opens the service with `access`; the SCM handle is closed again at once.
  virtual OpenedService open_service(std::uint32_t access) = 0;
  // CreateServiceW with the control access and `registration`.
  virtual OpenedService create_service(const ServiceRegistration& registration) = 0;
};

// The system's SCM for the service `name` (Windows build only).
std::unique_ptr<ServiceManager> system_service_manager(std::string_view name = kServiceName);

}  // namespace velk
