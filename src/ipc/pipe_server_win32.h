#pragma once
// The flags of the control pipe's instances.

#include <windows.h>

namespace velk {

// Duplex and overlapped (so a pending call can be cancelled without waiting
// behind it); FILE_FLAG_FIRST_PIPE_INSTANCE while the server must be the
// pipe's creator.
inline DWORD pipe_open_mode(bool first_instance) {
  return PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | (first_instance ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0);
}

// Bytes in both directions, waiting (not non-blocking) calls, local clients only.
inline constexpr DWORD kPipeMode = PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS;

}  // namespace velk
