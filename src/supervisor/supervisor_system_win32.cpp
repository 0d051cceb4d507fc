#include "supervisor/supervisor_system.h"

namespace velk {

std::shared_ptr<Supervisor> make_system_supervisor(const std::filesystem::path& engine_path,
                                                   const std::filesystem::path& state_dir) {
  return make_supervisor_on(system_filter_ops(), engine_path, state_dir);
}

}  // namespace velk
