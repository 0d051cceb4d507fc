#include "supervisor/job_object_win32.h"

#include <memory>
#include <vector>

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

void end_job_processes(HANDLE job) { (void)::TerminateJobObject(job, 1); }

namespace {

// PROC_THREAD_ATTRIBUTE_LIST with the handle list and, when the system takes
// it, the job list; freed on every path.
class AttributeList {
 public:
  AttributeList(std::vector<HANDLE> handles, std::optional<HANDLE> job)
      : handles_(std::move(handles)), job_(job.value_or(nullptr)) {
    const DWORD count = job ? 2 : 1;
    SIZE_T size = 0;
    ::InitializeProcThreadAttributeList(nullptr, count, 0, &size);
    if (size == 0) return;
    buffer_ = std::make_unique<char[]>(size);
    if (!::InitializeProcThreadAttributeList(get(), count, 0, &size)) {
      buffer_.reset();
      return;
    }
    initialized_ = true;
    ok_ = ::UpdateProcThreadAttribute(get(), 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, handles_.data(),
                                      handles_.size() * sizeof(HANDLE), nullptr, nullptr) != 0;
    if (ok_ && job) {
      job_listed_ = ::UpdateProcThreadAttribute(get(), 0, PROC_THREAD_ATTRIBUTE_JOB_LIST, &job_, sizeof job_,
                                                nullptr, nullptr) != 0;
    }
  }
  ~AttributeList() {
    if (initialized_) ::DeleteProcThreadAttributeList(get());
  }
  AttributeList(const AttributeList&) = delete;
  AttributeList& operator=(const AttributeList&) = delete;
  bool ok() const { return ok_; }
  bool job_listed() const { return job_listed_; }
  LPPROC_THREAD_ATTRIBUTE_LIST get() const { return reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(buffer_.get()); }

 private:
  std::vector<HANDLE> handles_;  // these must outlive the list
  HANDLE job_;
  std::unique_ptr<char[]> buffer_;
  bool initialized_ = false;
  bool ok_ = false;
  bool job_listed_ = false;
};

bool missing_program(DWORD error) { return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND; }

}  // namespace

SuspendedProcess create_suspended_process(const std::wstring& application, const std::wstring& command_line,
                                          const StandardHandles& handles, std::optional<HANDLE> job) {
  SuspendedProcess out;
  for (;;) {
    AttributeList attributes({handles.input, handles.output, handles.error}, job);
    if (!attributes.ok()) {
      out.error = ::GetLastError();
      return out;
    }
    STARTUPINFOEXW si{};
    si.StartupInfo.cb = sizeof si;
    si.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    si.StartupInfo.hStdInput = handles.input;
    si.StartupInfo.hStdOutput = handles.output;
    si.StartupInfo.hStdError = handles.error;
    si.lpAttributeList = attributes.get();
    std::wstring line = command_line;  // CreateProcessW may write to it
    PROCESS_INFORMATION pi{};
    if (::CreateProcessW(application.c_str(), line.data(), nullptr, nullptr, TRUE,
                         CREATE_NO_WINDOW | CREATE_SUSPENDED | EXTENDED_STARTUPINFO_PRESENT, nullptr, nullptr,
                         &si.StartupInfo, &pi)) {
      out.process.reset(pi.hProcess);
      out.thread.reset(pi.hThread);
      out.in_job = attributes.job_listed();
      return out;
    }
    out.error = ::GetLastError();
    // Refused with the job in the list: once more without it, to be assigned
    // afterwards (the process is still suspended then).
    if (!attributes.job_listed() || missing_program(out.error)) return out;
    job.reset();
  }
}

}  // namespace velk
