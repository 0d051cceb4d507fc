#pragma once
// The state directory (%ProgramData%\VELK VPN): every mode that reads or writes
// it (the service, --arm-from-state, --recover, the installer's log) calls
// prepare_state_dir first.

#include <filesystem>

#include "platform/result.h"

namespace velk {

// Makes sure `dir` exists as a directory, creating it (and its parents) when missing.
Outcome prepare_state_dir(const std::filesystem::path& dir);

}  // namespace velk
