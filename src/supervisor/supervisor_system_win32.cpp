#include "supervisor/supervisor_system.h"

namespace velk {

std::shared_ptr<Supervisor> make_system_supervisor(const std::filesystem::path& engine_path,
                                                   std::shared_ptr<StateFiles> state_files) {
  return make_supervisor_on(system_filter_ops(), engine_path, std::move(state_files));
}

}  // namespace velk
