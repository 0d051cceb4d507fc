#include "service/serve.h"

#include <utility>
#include <vector>

#include "platform/windows_args.h"
#include "service/serving_claim.h"

namespace velk {

int run_serve_with(const HelperOptions& options, ServePlatform& platform, const ServeHooks& hooks,
                   const std::filesystem::path& default_state, const ConfigStore& store_config) {
  HelperConfig resolved = resolve_helper_config(options, platform.executable_path(), default_state);
  hooks.publish_engine_path(resolved.engine_path);
  resolved.state_files = hooks.open_state_dir(resolved.state_dir, state_dir_use(options.state_dir.has_value()));
  // Before anything reads the directory: the supervisor (which loads and
  // restores the kill switch) and the watcher (which deletes a state file
  // this process never read) exist only in a process that holds the claim,
  // and the published configuration holds it until the process ends.
  if (resolved.state_files) {
    ServingClaim claim = claim_state_dir(*resolved.state_files, resolved.state_dir, *hooks.clock);
    resolved.claim = std::move(claim.hold);
    resolved.refused_exit = claim.refused_exit;
    if (claim.refused_exit != 0) hooks.report_error(claim.message);
  }
  const HelperConfig& config = store_config(std::move(resolved));

  std::vector<std::u16string> arguments = split_windows_command_line(platform.raw_command_line());
  if (has_service_argument(arguments)) {
    platform.run_service_dispatcher();  // the service reports a refusal as its stop
    return 0;
  }
  if (config.refused_exit != 0) return config.refused_exit;
  hooks.run_pipe_server(config);
  return 0;
}

}  // namespace velk
