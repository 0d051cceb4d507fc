#pragma once
// Taking the kill switch away for an install or a removal: recover (state file
// first, then the filters), then make sure no filter of the helper remains.

#include <filesystem>

#include "install/installer_system.h"

namespace velk {

// Up to three attempts, one second apart; each failure is logged. The state
// file is the one in the state directory the log holds.
bool remove_kill_switch(InstallLog& log, InstallerSystem& system);

}  // namespace velk
