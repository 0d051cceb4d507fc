#include <memory>

#include "install/run_installer.h"

namespace velk {

int run_system_installer(const HelperOptions& options, std::shared_ptr<StateFiles> state_files, LineOutput out) {
  std::unique_ptr<ServiceManager> scm = system_service_manager();
  std::unique_ptr<Taskkill> taskkill = system_taskkill();
  std::unique_ptr<InstallFiles> files = system_install_files();
  std::unique_ptr<FilterOps> filters = system_filter_ops();
  ServiceOps services(*scm, *taskkill, system_clock());
  ControlHelperClient helper(system_control_client());
  InstallerSystem system{services, *files, helper, *filters, system_clock()};
  return run_installer(options, std::move(state_files), system, std::move(out));
}

}  // namespace velk
