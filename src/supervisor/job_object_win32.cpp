#include "supervisor/job_object_win32.h"

#include "platform/unique_handle_win32.h"

namespace velk {

static_assert(sizeof(JOBOBJECT_EXTENDED_LIMIT_INFORMATION) == 144);
static_assert(JobObjectExtendedLimitInformation == 9);
static_assert(JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE == 0x2000);

std::optional<HANDLE> create_kill_on_close_job() {
  UniqueHandle job(::CreateJobObjectW(nullptr, nullptr));
  if (!job) return std::nullopt;
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
  limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
  if (!::SetInformationJobObject(job.get(), JobObjectExtendedLimitInformation, &limits, sizeof limits)) {
    return std::nullopt;
  }
  return job.release();
}

void assign_to_job(HANDLE job, HANDLE process) { (void)::AssignProcessToJobObject(job, process); }

}  // namespace velk
