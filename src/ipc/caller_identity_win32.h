#pragma once
// Reading the caller's identity from a connected server end of a named pipe.

#include <windows.h>

#include <optional>

#include "ipc/caller_identity.h"

namespace velk {

// The user and elevation of the token the client opened the pipe with, read
// by impersonating the client on the calling thread (the client opens at
// identification level, enough to read its token and nothing more). Absent
// when any step fails; every handle opened on the way is closed. The thread
// is always itself again on return: if that fails, the process ends.
std::optional<CallerIdentity> identify_caller(HANDLE pipe);

}  // namespace velk
