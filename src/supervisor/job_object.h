#pragma once
// The helper's one kill-on-close job object: made at the first engine start and
// kept until the process ends (its handle is never closed, so the system ends
// every engine in it when the helper ends, crashes included). When making it
// fails the helper runs without a job and does not try again.

#include <functional>
#include <optional>
#include <utility>

namespace velk {

template <class Handle>
class FirstUseJob {
 public:
  using Create = std::function<std::optional<Handle>()>;
  explicit FirstUseJob(Create create) : create_(std::move(create)) {}

  // The job, made at the first call; none when making it failed.
  std::optional<Handle> get() {
    if (!tried_) {
      tried_ = true;
      job_ = create_();
    }
    return job_;
  }

 private:
  Create create_;
  bool tried_ = false;
  std::optional<Handle> job_;
};

// The engine is created suspended, inside the job when the system allows it
// (`created_in_job`), and let run only once it is in the job: a child it
// started at once would otherwise escape kill-on-close. Only a process the
// system would not create inside the job is assigned afterwards; the
// assignment's result is not looked at (no job, or a failed assignment, means
// running without one). A process that cannot be resumed is terminated; false then.
template <class Handle>
bool release_into_job(std::optional<Handle> job, bool created_in_job, const std::function<void(Handle)>& assign,
                      const std::function<bool()>& resume, const std::function<void()>& terminate) {
  if (job && !created_in_job) assign(*job);
  if (resume()) return true;
  terminate();
  return false;
}

}  // namespace velk
