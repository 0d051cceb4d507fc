#include "supervisor/supervisor_system.h"

#include <cstdio>
#include <utility>

namespace velk {

namespace {

struct SystemParts {
  std::unique_ptr<FilterOps> filters;
  std::unique_ptr<EngineLauncher> launcher = make_engine_launcher();
  SystemControllerClient controller;
  RealSupervisorClock clock;
  std::optional<Supervisor> supervisor;
};

void write_standard_error(std::string_view text) {
  // Standard error may be closed or full; the helper has nowhere else to say it.
  (void)std::fwrite(text.data(), 1, text.size(), stderr);
  (void)std::fflush(stderr);
}

}  // namespace

std::shared_ptr<Supervisor> make_supervisor_on(std::unique_ptr<FilterOps> filters,
                                               const std::filesystem::path& engine_path,
                                               std::shared_ptr<StateFiles> state_files) {
  auto parts = std::make_shared<SystemParts>();
  parts->filters = std::move(filters);
  parts->supervisor.emplace(engine_path, std::move(state_files),
                            SupervisorPorts{
                                .filters = *parts->filters,
                                .resolution = system_name_resolution(),
                                .launcher = *parts->launcher,
                                .controller = parts->controller,
                                .clock = parts->clock,
                                .new_access = [] { return new_controller_access(); },
                                .error_sink = write_standard_error,
                            });
  return std::shared_ptr<Supervisor>(parts, &*parts->supervisor);
}

}  // namespace velk
