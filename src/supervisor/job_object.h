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

}  // namespace velk
