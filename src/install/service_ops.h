#pragma once
// Registering, starting, stopping and deleting the service VelkVpnHelper. Each
// operation opens its own handles, does one job with fixed time limits and
// answers yes or no; the few lines it logs are the only other report.

#include <filesystem>
#include <optional>

#include "install/install_files.h"
#include "install/install_log.h"
#include "install/service_manager.h"
#include "install/taskkill.h"
#include "platform/clock.h"

namespace velk {

// The registration of an install directory's helper: quoted path, " --service".
ServiceRegistration helper_registration(const std::filesystem::path& exe_path);
FailureActions recovery_actions();          // 60 s reset, restart after 1 s, 1 s, 5 s
FailureActions cleared_recovery_actions();  // everything removed

class ServiceOps {
 public:
  ServiceOps(ServiceManager& scm, Taskkill& taskkill, Clock& clock);

  bool service_exists();
  // The service manager says there is no such service (any other failure
  // leaves it open whether one exists).
  bool service_absent();
  // The current status, when the service opens and answers a query.
  std::optional<ServiceStatus> service_status();
  // Creates the service, or rewrites its registration in place when it
  // exists, then the recovery actions.
  bool install_service(InstallLog& log, const std::filesystem::path& exe_path);
  bool start_service();
  // True when the service is stopped (or absent) at the end; ends its process
  // after 20 s, and always ends any engine left behind.
  bool stop_service(InstallLog& log);
  void clear_recovery_actions(InstallLog& log);
  enum class Deletion {
    gone,            // deleted, or it never existed
    held_elsewhere,  // marked for deletion, kept by a handle open elsewhere for 30 s
    failed,
  };
  // Deletes the service and waits up to 30 s for it to go.
  Deletion delete_service();
  void run_taskkill(std::string_view arg1, std::string_view arg2);
  // Registers and starts the helper of `install_dir` again when there was one.
  bool restore_service(InstallLog& log, InstallFiles& files, const std::filesystem::path& install_dir,
                       bool was_installed);

 private:
  bool stopped(ServiceHandle& service);
  bool seconds_passed(Clock::time_point since, int seconds);

  ServiceManager& scm_;
  Taskkill& taskkill_;
  Clock& clock_;
};

}  // namespace velk
