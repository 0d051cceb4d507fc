#pragma once
// The flags of the control pipe's instances.

#include <windows.h>

namespace velk {

// Duplex; FILE_FLAG_FIRST_PIPE_INSTANCE while the server must be the pipe's creator.
inline DWORD pipe_open_mode(bool first_instance) {
  return PIPE_ACCESS_DUPLEX | (first_instance ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0);
}

// Bytes in both directions, blocking calls, local clients only.
inline constexpr DWORD kPipeMode = PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS;

}  // namespace velk
