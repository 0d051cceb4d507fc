#pragma once
// Win32 calls for the helper's kill-on-close job (see job_object.h).

#include <windows.h>

#include <optional>

namespace velk {

// An unnamed job with default security whose processes are killed when its
// last handle closes; none when either call fails (nothing is left open then).
std::optional<HANDLE> create_kill_on_close_job();

// Puts the process into the job; the result is ignored by design.
void assign_to_job(HANDLE job, HANDLE process);

}  // namespace velk
