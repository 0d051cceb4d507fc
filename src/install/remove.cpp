#include "install/remove.h"

#include <string>
#include <vector>

#include "install/file_steps.h"
#include "install/installer_codes.h"
#include "install/killswitch_removal.h"

namespace velk {

int remove(InstallLog& log, InstallerSystem& system, const std::filesystem::path& install_dir) {
  ServiceOps& services = system.services;
  services.run_taskkill("/IM", "velkvpn.exe");
  if (services.service_exists()) {
    (void)system.helper.ask_helper_to_turn_off([&](std::string_view line) { log.log(line); });
    services.clear_recovery_actions(log);
    if (!services.stop_service(log)) return install_code::kNotStopped;
  }
  if (!remove_kill_switch(log, system)) return install_code::kFiltersRemain;
  if (services.service_exists()) {
    switch (services.delete_service()) {
      case ServiceOps::Deletion::gone:
        break;
      case ServiceOps::Deletion::held_elsewhere:
        log.log("Windows has not finished removing the old service");
        return install_code::kNotDeleted;
      case ServiceOps::Deletion::failed:
        return install_code::kNotDeleted;
    }
  }
  const std::vector<std::string> names(std::begin(kInstalledFiles), std::end(kInstalledFiles));
  std::optional<std::string> busy = find_busy_file(system.files, system.clock, install_dir, names,
                                                   [&] { services.run_taskkill("/IM", "velkvpn.exe"); });
  if (busy) {
    log.log(*busy + " is in use");
    return install_code::kFileInUse;
  }
  return install_code::kDone;
}

}  // namespace velk
