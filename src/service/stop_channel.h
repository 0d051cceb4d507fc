#pragma once
// The service's stop channel: any number of senders post empty messages; the
// one receiver wakes at the first message, or when every sender is gone.

#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>

namespace velk {

namespace detail {
struct StopChannelState {
  std::mutex mutex;
  std::condition_variable changed;
  std::size_t messages = 0;
  std::size_t senders = 0;
  bool receiver_alive = true;
};
}  // namespace detail

class StopSender {
 public:
  explicit StopSender(std::shared_ptr<detail::StopChannelState> state);
  StopSender(const StopSender& other);
  StopSender(StopSender&& other) noexcept;
  StopSender& operator=(const StopSender&) = delete;
  StopSender& operator=(StopSender&&) = delete;
  ~StopSender();

  // Posts one message; false when the receiver is gone (or this sender was
  // moved from).
  bool send();

 private:
  std::shared_ptr<detail::StopChannelState> state_;
};

class StopReceiver {
 public:
  StopReceiver();
  StopReceiver(const StopReceiver&) = delete;
  StopReceiver& operator=(const StopReceiver&) = delete;
  ~StopReceiver();

  StopSender sender();
  // Blocks until a message has been posted or no sender remains.
  void wait();
  std::size_t messages() const;

 private:
  std::shared_ptr<detail::StopChannelState> state_;
};

}  // namespace velk
