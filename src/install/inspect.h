#pragma once
// --upgrade-inspect: whether anything is active that an upgrade or a removal
// would interrupt. Changes nothing; one log line; 0 or 10. The state file is
// looked for in the state directory the log holds.

#include <filesystem>

#include "install/installer_system.h"

namespace velk {

int inspect(InstallLog& log, InstallerSystem& system);

}  // namespace velk
