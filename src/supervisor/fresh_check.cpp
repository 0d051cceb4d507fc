#include "supervisor/fresh_check.h"

namespace velk {

bool FreshCheck::operator()() {
  std::unique_lock lock(mutex_);
  // Looks numbered from here on began after this question.
  const std::uint64_t fresh = begun_ + 1;
  for (;;) {
    if (ended_ >= fresh) return result_;
    if (!running_) break;
    done_.wait(lock);
  }
  running_ = true;
  const std::uint64_t mine = ++begun_;
  lock.unlock();
  const bool seen = look_();
  lock.lock();
  running_ = false;
  ended_ = mine;
  result_ = seen;
  done_.notify_all();
  return seen;
}

}  // namespace velk
