#include "fake_clock.h"

#include <thread>

namespace velk::test {

using namespace std::chrono_literals;

FakeClock::FakeClock() : now_(time_point{} + 1000h) {}

FakeClock::time_point FakeClock::now() {
  std::lock_guard l(m_);
  return now_;
}

void FakeClock::sleep_for(duration d) {
  std::unique_lock l(m_);
  ++sleeps_;
  changed_.notify_all();
  const time_point end = now_ + d;
  if (!manual_sleeps_) {
    const bool real = real_sleeps_;
    l.unlock();
    // At least a breath of real time, so that a thread polling in fake time
    // does not starve the others.
    std::this_thread::sleep_for(real ? d : duration(50us));
    l.lock();
    now_ += d;
    changed_.notify_all();
    return;
  }
  changed_.wait(l, [&] { return now_ >= end || !manual_sleeps_; });
}

void FakeClock::wait_until(std::condition_variable& cv, std::unique_lock<std::mutex>& lock,
                           time_point deadline, const std::function<bool()>& done) {
  if (done()) return;
  bool manual;
  {
    std::lock_guard l(m_);
    if (now_ >= deadline) return;
    waits_.push_back(deadline - now_);
    manual = manual_waits_;
    if (!manual) {
      now_ = deadline;
    } else {
      ++waiting_;
    }
    changed_.notify_all();
  }
  if (!manual) return;
  // The caller's condition variable belongs to the caller's mutex, so a test's
  // advance() cannot notify it without racing; a short real-time poll sees it.
  while (!done() && now() < deadline) cv.wait_for(lock, 1ms);
  std::lock_guard l(m_);
  --waiting_;
  changed_.notify_all();
}

void FakeClock::set_manual_sleeps(bool manual) {
  std::lock_guard l(m_);
  manual_sleeps_ = manual;
  changed_.notify_all();
}

void FakeClock::set_real_sleeps(bool real) {
  std::lock_guard l(m_);
  real_sleeps_ = real;
}

void FakeClock::set_manual_waits(bool manual) {
  std::lock_guard l(m_);
  manual_waits_ = manual;
}

void FakeClock::advance(duration d) {
  std::lock_guard l(m_);
  now_ += d;
  changed_.notify_all();
}

std::vector<FakeClock::duration> FakeClock::waits() {
  std::lock_guard l(m_);
  return waits_;
}

bool FakeClock::await_waits(std::size_t count, std::chrono::milliseconds limit) {
  std::unique_lock l(m_);
  return changed_.wait_for(l, limit, [&] { return waits_.size() >= count; });
}

std::size_t FakeClock::sleeps_started() {
  std::lock_guard l(m_);
  return sleeps_;
}

bool FakeClock::await_sleeps(std::size_t count, std::chrono::milliseconds limit) {
  std::unique_lock l(m_);
  return changed_.wait_for(l, limit, [&] { return sleeps_ >= count; });
}

bool FakeClock::waiting() {
  std::lock_guard l(m_);
  return waiting_ > 0;
}

}  // namespace velk::test
