#pragma once
// A yes/no look at the outside world (does killswitch.json exist?) asked by
// many threads at once, answered with as few looks as possible and never with
// a stale one: a caller gets the result of a look that began after it asked,
// so whatever another process changed before the question shows in the answer.
//
// Callers that ask while a look is under way wait for the next look, which
// one of them begins as soon as the running one ends, and all share it. So at
// most two looks run per round of waiting callers instead of one per caller.
// The look itself runs without the lock; it must not throw.

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>

namespace velk {

class FreshCheck {
 public:
  explicit FreshCheck(std::function<bool()> look) : look_(std::move(look)) {}
  FreshCheck(const FreshCheck&) = delete;
  FreshCheck& operator=(const FreshCheck&) = delete;

  bool operator()();

 private:
  const std::function<bool()> look_;
  std::mutex mutex_;
  std::condition_variable done_;
  std::uint64_t begun_ = 0;  // looks begun so far; the running one, if any, is number begun_
  std::uint64_t ended_ = 0;  // number of the last look that ended
  bool running_ = false;
  bool result_ = false;      // what look number ended_ saw
};

}  // namespace velk
