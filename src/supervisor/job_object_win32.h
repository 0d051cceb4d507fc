#pragma once
// Win32 calls for the helper's kill-on-close job (see job_object.h) and for
// creating the engine inside it.

#include <windows.h>

#include <optional>
#include <string>

#include "platform/unique_handle_win32.h"

namespace velk {

// An unnamed job with default security whose processes are killed when its
// last handle closes; none when either call fails (nothing is left open then).
std::optional<HANDLE> create_kill_on_close_job();

// Puts the process into the job; the result is ignored by design.
void assign_to_job(HANDLE job, HANDLE process);

// Ends every process left in the job; the job stays usable. Errors are ignored.
void end_job_processes(HANDLE job);

struct StandardHandles {
  HANDLE input;
  HANDLE output;
  HANDLE error;
};

struct SuspendedProcess {
  UniqueHandle process;
  UniqueHandle thread;
  bool in_job = false;  // created inside the job
  DWORD error = 0;      // why there is no process
};

// Creates `application` suspended, without a window, inheriting only the three
// standard handles (which must be inheritable). With a job it is created
// inside it (PROC_THREAD_ATTRIBUTE_JOB_LIST), so there is no moment at which
// it is outside; a system that refuses that attribute gets the process
// created outside the job (in_job false) for the caller to assign.
SuspendedProcess create_suspended_process(const std::wstring& application, const std::wstring& command_line,
                                          const StandardHandles& handles, std::optional<HANDLE> job);

}  // namespace velk
