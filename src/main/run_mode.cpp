#include "main/run_mode.h"

#include <variant>

#include "ipc/error_codes.h"
#include "killswitch/killswitch_store.h"
#include "main/command_line.h"

namespace velk {
namespace {

// Stands in when no filtering engine can be had: every operation fails.
class UnavailableFilterOps final : public FilterOps {
 public:
  Outcome install_filters(const std::vector<Pin>&) override { return fail(err::killswitch_failed); }
  Outcome remove_filters() override { return fail(err::killswitch_failed); }
  bool filters_intact() override { return false; }
  Result<bool> list_filters() override { return fail(err::killswitch_failed); }
  Result<bool> filters_present() override { return fail(err::killswitch_failed); }
  bool tunnel_changed() override { return false; }
};

// The state directory opened for `use`; a warning or a failure goes to
// standard error. A directory that cannot be made safe gives no files.
std::shared_ptr<StateFiles> open_for_mode(const std::filesystem::path& dir, StateDirUse use,
                                          const ModeDependencies& deps, const ConsoleStreams& console) {
  std::unique_ptr<StateDirSystem> system = deps.state_dir_system ? deps.state_dir_system() : make_state_dir_system();
  OpenedStateDir opened = open_state_dir(dir, use, *system);
  if (!opened.message.empty()) console.err(opened.message);
  return std::move(opened.files);
}

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

int run_arm_from_state(std::shared_ptr<StateFiles> state_files, FilterOps& filters, const ConsoleStreams& console) {
  KillSwitchStore store = KillSwitchStore::load(std::move(state_files), filters);
  if (store.state_file_exists() && !store.restore_kill_switch()) console.err(kRestoreFailedText);
  return 0;  // a boot-time caller never fails on this mode
}

int run_recover(StateFiles& state_files, FilterOps& filters, const ConsoleStreams& console) {
  Outcome recovered = recover_kill_switch(state_files, filters);
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
  // Only the default directory is ever moved aside and made anew;
  // --upgrade-inspect changes nothing at all.
  const StateDirUse use = options.mode == RunMode::upgrade_inspect ? StateDirUse::look_only
                                                                   : state_dir_use(options.state_dir.has_value());

  switch (options.mode) {
    case RunMode::arm_from_state: {
      std::unique_ptr<FilterOps> filters = filters_or_unavailable(deps);
      return run_arm_from_state(open_for_mode(state_dir, use, deps, console), *filters, console);
    }
    case RunMode::recover: {
      std::unique_ptr<FilterOps> filters = filters_or_unavailable(deps);
      return run_recover(*open_for_mode(state_dir, use, deps, console), *filters, console);
    }
    case RunMode::serve:
      if (deps.serve) return deps.serve(options);
      break;
    case RunMode::diagnose:
      if (deps.diagnose) return deps.diagnose(options, state_dir);
      break;
    case RunMode::upgrade_inspect:
    case RunMode::install_from_stage:
    case RunMode::remove_service:
      if (deps.installer) return deps.installer(options, state_dir, open_for_mode(state_dir, use, deps, console));
      break;
  }
  // A build without this mode.
  console.err("velkvpn-helper: this mode is not available in this build\n");
  return 1;
}

}  // namespace velk
