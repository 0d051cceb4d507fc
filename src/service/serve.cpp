#include "service/serve.h"

#include <utility>
#include <vector>

#include "platform/windows_args.h"

namespace velk {

void run_serve_with(const HelperOptions& options, ServePlatform& platform, const ServeHooks& hooks,
                    const std::filesystem::path& default_state, const ConfigStore& store_config) {
  HelperConfig resolved = resolve_helper_config(options, platform.executable_path(), default_state);
  hooks.publish_engine_path(resolved.engine_path);
  resolved.state_files = hooks.open_state_dir(resolved.state_dir, state_dir_use(options.state_dir.has_value()));
  const HelperConfig& config = store_config(std::move(resolved));

  std::vector<std::u16string> arguments = split_windows_command_line(platform.raw_command_line());
  if (has_service_argument(arguments)) {
    platform.run_service_dispatcher();
    return;
  }
  hooks.run_pipe_server(config);
}

}  // namespace velk
