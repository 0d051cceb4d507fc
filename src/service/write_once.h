#pragma once
// A value stored once and read-only afterwards: the first store wins, later
// ones are ignored. Readers need no lock once the value is there.

#include <atomic>
#include <mutex>
#include <optional>
#include <utility>

namespace velk {

template <class T>
class WriteOnce {
 public:
  // True when this call stored the value.
  bool set(T value) {
    bool stored = false;
    std::call_once(once_, [&] {
      value_.emplace(std::move(value));
      ready_.store(true, std::memory_order_release);
      stored = true;
    });
    return stored;
  }
  // Null until a value has been stored.
  const T* get() const { return ready_.load(std::memory_order_acquire) ? &*value_ : nullptr; }

 private:
  std::once_flag once_;
  std::optional<T> value_;
  std::atomic<bool> ready_{false};
};

}  // namespace velk
