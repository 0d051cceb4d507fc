#include "wfp/tunnel_record.h"

namespace velk {

TunnelState TunnelRecord::get() const {
  std::lock_guard lock(mutex_);
  return state_;
}

void TunnelRecord::set(TunnelState state) {
  std::lock_guard lock(mutex_);
  state_ = state;
}

void TunnelRecord::set_absent() {
  std::lock_guard lock(mutex_);
  state_.present = false;
}

TunnelRecord& process_tunnel_record() {
  static TunnelRecord record;
  return record;
}

}  // namespace velk
