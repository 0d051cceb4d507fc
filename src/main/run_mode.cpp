#include "main/run_mode.h"

#include <variant>

#include "ipc/error_codes.h"
#include "killswitch/killswitch_store.h"
#include "main/command_line.h"
#include "platform/state_dir.h"

namespace velk {
namespace {

// Stands in when no filtering engine can be had: every operation fails.
class UnavailableFilterOps final : public FilterOps {
 public:
  Outcome install_filters(const std::vector<Pin>&) override { return fail(err::killswitch_failed); }
  Outcome remove_filters() override { return fail(err::killswitch_failed); }
  bool filters_intact() override { return false; }
  Result<bool> list_filters() override { return fail(err::killswitch_failed); }
  bool tunnel_changed() override { return false; }
};

std::unique_ptr<FilterOps> filters_or_unavailable(const ModeDependencies& deps) {
  std::unique_ptr<FilterOps> filters = deps.filter_ops ? deps.filter_ops() : nullptr;
  if (!filters) filters = std::make_unique<UnavailableFilterOps>();
  return filters;
}

}  // namespace

std::string recover_failed_text(std::string_view code) {
  std::string text = "velkvpn-helper: could not remove the block (";
  text += code;
  text += "). Are you root?\n";
  return text;
}

int run_arm_from_state(const std::filesystem::path& state_dir, FilterOps& filters, const ConsoleStreams& console) {
  (void)prepare_state_dir(state_dir);  // an unsecured directory is still read: a saved block is kept
  KillSwitchStore store = KillSwitchStore::load(state_dir, filters);
  if (store.state_file_exists() && !store.restore_kill_switch()) console.err(kRestoreFailedText);
  return 0;  // a boot-time caller never fails on this mode
}

int run_recover(const std::filesystem::path& state_dir, FilterOps& filters, const ConsoleStreams& console) {
  (void)prepare_state_dir(state_dir);  // the block is removed even when the directory cannot be secured
  Outcome recovered = recover_kill_switch(state_dir, filters);
  if (!recovered) {
    console.err(recover_failed_text(recovered.error()));
    return 1;
  }
  console.out(kRecoveredText);
  return 0;
}

int run_process(std::span<const std::string> args, const ConsoleStreams& console, const ModeDependencies& deps) {
  auto parsed = parse_command_line(args);
  if (auto* exit = std::get_if<CommandLineExit>(&parsed)) {
    if (!exit->out.empty()) console.out(exit->out);
    if (!exit->err.empty()) console.err(exit->err);
    return exit->exit_code;
  }
  const HelperOptions& options = std::get<HelperOptions>(parsed);
  const std::filesystem::path state_dir = resolve_state_dir(options);

  switch (options.mode) {
    case RunMode::arm_from_state:
      return run_arm_from_state(state_dir, *filters_or_unavailable(deps), console);
    case RunMode::recover:
      return run_recover(state_dir, *filters_or_unavailable(deps), console);
    case RunMode::serve:
      if (deps.serve) return deps.serve(options);
      break;
    case RunMode::upgrade_inspect:
    case RunMode::install_from_stage:
    case RunMode::remove_service:
      if (deps.installer) return deps.installer(options, state_dir);
      break;
  }
  // A build without this mode.
  console.err("velkvpn-helper: this mode is not available in this build\n");
  return 1;
}

}  // namespace velk
