#pragma once
// Reading the caller's identity from a connected server end of a named pipe.

#include <windows.h>

#include <optional>

#include "ipc/caller_identity.h"

namespace velk {

// The client process's token user and elevation. Absent when any step fails
// (process gone, access denied, token unreadable); every handle opened on the
// way is closed.
std::optional<CallerIdentity> identify_caller(HANDLE pipe);

}  // namespace velk
