#pragma once
// The serve mode as the process runs it: the service host around the pipe
// server around the supervisor, on the system's parts (Windows build only).

#include "main/command_line.h"

namespace velk {

// Returns only in service mode, once the service manager lets go: 0.
int run_serve_mode(const HelperOptions& options);

}  // namespace velk
