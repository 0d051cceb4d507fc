#pragma once
// The entry of the three installer modes: opens the install log, runs the
// mode, closes the log, and gives the exit code.

#include <filesystem>
#include <memory>

#include "install/installer_system.h"
#include "main/command_line.h"

namespace velk {

// `state_files` is the state directory opened for the mode (null: none); the
// log keeps it, and the kill switch is removed through it.
int run_installer(const HelperOptions& options, std::shared_ptr<StateFiles> state_files, InstallerSystem& system, LineOutput out);

// The same on the system's service manager, files, pipe, filters and clock
// (Windows build only).
int run_system_installer(const HelperOptions& options, std::shared_ptr<StateFiles> state_files, LineOutput out);

}  // namespace velk
