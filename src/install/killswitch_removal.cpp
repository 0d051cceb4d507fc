#include "install/killswitch_removal.h"

#include <chrono>
#include <string>

#include "killswitch/killswitch_store.h"

namespace velk {

bool remove_kill_switch(InstallLog& log, InstallerSystem& system) {
  constexpr int kAttempts = 3;
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    if (attempt > 0) system.clock.sleep_for(std::chrono::seconds(1));
    if (Outcome recovered = recover_kill_switch(log.state_files(), system.filters); !recovered) {
      log.log("removing filters: " + std::string(recovered.error()));
      continue;
    }
    Result<bool> remaining = system.filters.list_filters();
    if (!remaining) {
      log.log("reading filters: " + std::string(remaining.error()));
      continue;
    }
    if (!*remaining) return true;
    log.log("filters still present");
  }
  return false;
}

}  // namespace velk
