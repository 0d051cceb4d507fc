#pragma once
// Run-mode dispatch: parses the command line and runs the chosen mode.

#include <filesystem>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "main/command_line.h"
#include "platform/state_dir.h"
#include "wfp/filter_ops.h"

namespace velk {

struct ConsoleStreams {
  std::function<void(std::string_view)> out;
  std::function<void(std::string_view)> err;
};

// What the modes need from the system, so that they can run against fakes.
struct ModeDependencies {
  // The kill-switch filter operations (the system's filtering engine in the product).
  std::function<std::unique_ptr<FilterOps>()> filter_ops;
  // The serve mode (service or console server); absent where it cannot run.
  std::function<int(const HelperOptions&)> serve;
  // The installer modes (--upgrade-inspect, --install-from-stage,
  // --remove-service) with the resolved state directory and its files (the
  // directory opened for the mode); their exit code.
  std::function<int(const HelperOptions&, const std::filesystem::path& state_dir,
                    std::shared_ptr<StateFiles> state_files)>
      installer;
  // The file system the state directory is opened on.
  std::function<std::unique_ptr<StateDirSystem>()> state_dir_system = [] { return make_state_dir_system(); };
  // --diagnose with the resolved state directory (it looks at it itself and
  // opens nothing for writing); its exit code.
  std::function<int(const HelperOptions&, const std::filesystem::path& state_dir)> diagnose;
};

inline constexpr std::string_view kRecoveredText = "VELK VPN no longer blocks the network.\n";
inline constexpr std::string_view kRestoreFailedText = "velkvpn-helper: could not restore the kill switch\n";
// The failure line of --recover, with the error code between the parentheses.
std::string recover_failed_text(std::string_view code);

// --arm-from-state: restores the kill switch from killswitch.json when the file
// exists in the opened state directory. Always 0.
int run_arm_from_state(std::shared_ptr<StateFiles> state_files, FilterOps& filters, const ConsoleStreams& console);
// --recover: deletes killswitch.json and removes the filters (the filters also
// when there is no state directory). 0 on success, 1 on failure.
int run_recover(StateFiles& state_files, FilterOps& filters, const ConsoleStreams& console);

// Returns the process exit code.
int run_process(std::span<const std::string> args, const ConsoleStreams& console, const ModeDependencies& deps);

}  // namespace velk
