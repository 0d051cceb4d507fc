#pragma once
// Helpers for the pipe tests: unique pipe names, a client with bounded waits,
// the test process's own identity.

#include <windows.h>

#include <chrono>
#include <optional>
#include <string>

#include "ipc/caller_identity.h"
#include "platform/unique_handle_win32.h"

namespace velk::test {

// A pipe name no other test uses.
std::string unique_pipe_name(const char* tag);
std::wstring wide(const std::string& s);

// Opens the pipe as a client, retrying for up to `wait` while it is absent or busy.
UniqueHandle connect_client(const std::string& name, std::chrono::milliseconds wait = std::chrono::seconds(10));
// One attempt, no retry; the Win32 error on failure.
UniqueHandle try_connect_client(const std::string& name, DWORD* error);

bool write_text(HANDLE pipe, const std::string& text);
// Bytes up to and including the first line feed; absent when the pipe closes
// first or nothing arrives within `wait`.
std::optional<std::string> read_line(HANDLE pipe, std::chrono::milliseconds wait = std::chrono::seconds(10));
// Everything until the server closes (bounded by `wait`).
std::string read_to_end(HANDLE pipe, std::chrono::milliseconds wait = std::chrono::seconds(10));

// Whether CreateNamedPipeW refuses FILE_FLAG_FIRST_PIPE_INSTANCE for a name
// that exists. Windows does; Wine 8 accepts the flag and ignores it.
bool system_enforces_first_instance();

// The identity the server should see for a client in this process.
CallerIdentity own_identity();

}  // namespace velk::test
