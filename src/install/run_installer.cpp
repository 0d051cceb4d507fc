#include "install/run_installer.h"

#include "install/inspect.h"
#include "install/installer_codes.h"
#include "install/remove.h"
#include "install/upgrade.h"

namespace velk {

int run_installer(const HelperOptions& options, std::shared_ptr<StateFiles> state_files, InstallerSystem& system, LineOutput out) {
  InstallLog log = open_install_log(std::move(state_files), std::move(out));
  int code = install_code::kNoDirectory;
  switch (options.mode) {
    case RunMode::upgrade_inspect:
      code = inspect(log, system);
      break;
    case RunMode::install_from_stage:
      if (options.target) code = install_from_stage(log, system, *options.target);
      break;
    case RunMode::remove_service:
      if (options.target) code = remove(log, system, *options.target);
      break;
    default:
      break;
  }
  log.close();
  return code;
}

}  // namespace velk
