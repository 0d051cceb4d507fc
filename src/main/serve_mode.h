#pragma once
// The serve mode as the process runs it: the service host around the pipe
// server around the supervisor, on the system's parts (Windows build only).

#include "main/command_line.h"

namespace velk {

// Returns in service mode, once the service manager lets go: 0; in a console
// only when another process serves the state directory: its exit code.
int run_serve_mode(const HelperOptions& options);

}  // namespace velk
