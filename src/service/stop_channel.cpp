#include "service/stop_channel.h"

#include <utility>

namespace velk {

StopSender::StopSender(std::shared_ptr<detail::StopChannelState> state) : state_(std::move(state)) {
  std::lock_guard lock(state_->mutex);
  ++state_->senders;
}

StopSender::StopSender(const StopSender& other) : StopSender(other.state_) {}

StopSender::StopSender(StopSender&& other) noexcept : state_(std::move(other.state_)) {}

StopSender::~StopSender() {
  if (!state_) return;
  std::lock_guard lock(state_->mutex);
  if (--state_->senders == 0) state_->changed.notify_all();
}

bool StopSender::send() {
  if (!state_) return false;
  std::lock_guard lock(state_->mutex);
  if (!state_->receiver_alive) return false;
  ++state_->messages;
  state_->changed.notify_all();
  return true;
}

StopReceiver::StopReceiver() : state_(std::make_shared<detail::StopChannelState>()) {}

StopReceiver::~StopReceiver() {
  std::lock_guard lock(state_->mutex);
  state_->receiver_alive = false;
}

StopSender StopReceiver::sender() { return StopSender(state_); }

void StopReceiver::wait() {
  std::unique_lock lock(state_->mutex);
  state_->changed.wait(lock, [&] { return state_->messages > 0 || state_->senders == 0; });
}

std::size_t StopReceiver::messages() const {
  std::lock_guard lock(state_->mutex);
  return state_->messages;
}

}  // namespace velk
