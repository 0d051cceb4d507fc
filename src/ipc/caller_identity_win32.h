#pragma once
// Reading the caller's identity from a connected server end of a named pipe.

#include <windows.h>

#include <cstdint>
#include <optional>

#include "ipc/caller_identity.h"

namespace velk {

// The system time (FILETIME units) at which a client was seen connected: a
// process started later cannot be that client.
std::uint64_t system_time_now();

// The user and elevation of the token the client opened the pipe with, or of
// the last message read, read by impersonating the client on the calling
// thread (the client opens at identification level, enough to read its token
// and nothing more). Call it once a read from the pipe has returned bytes.
// When the pipe still holds no context for the client, the token of the
// client's process (started before `connected_at`) names it. Absent when any
// step fails or the client is anonymous; every handle opened on the way is
// closed. The thread is always itself again on return: if that fails, the
// process ends.
std::optional<CallerIdentity> identify_caller(HANDLE pipe, std::uint64_t connected_at);

// The account of the client's process (started before `connected_at`), for
// counting the connection before anything has been read from it.
std::optional<CallerIdentity> identify_client_process(HANDLE pipe, std::uint64_t connected_at);

}  // namespace velk
