#include "install/inspect.h"

#include <string>

#include "install/installer_codes.h"
#include "killswitch/killswitch_store.h"

namespace velk {
namespace {

const char* word(bool b) { return b ? "true" : "false"; }

}  // namespace

int inspect(InstallLog& log, InstallerSystem& system) {
  const std::optional<ServiceStatus> service = system.services.service_status();
  const std::optional<Status> status = system.helper.query_helper_status();  // asked whether or not a service exists

  const bool service_not_answering = service && service->state != scm::kStopped && !status;
  const bool vpn_wanted = status && status->wanted;
  const bool state_file_found = log.state_files().kind(kStateFileName) == StateEntry::file;
  const Result<bool> listed = system.filters.list_filters();
  const bool filters = !listed || *listed;  // a listing error counts as filters present

  log.log(std::string("inspect: vpn wanted ") + word(vpn_wanted) + ", service not answering " +
          word(service_not_answering) + ", saved state " + word(state_file_found) + ", filters " + word(filters));
  return vpn_wanted || service_not_answering || state_file_found || filters ? install_code::kActive
                                                                            : install_code::kDone;
}

}  // namespace velk
