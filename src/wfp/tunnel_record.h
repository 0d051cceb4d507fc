#pragma once
// The tunnel record: whether the tunnel permit was part of the last successful
// install, and for which interface. One per process, behind its own mutex,
// held only to read or replace the pair.

#include <cstdint>
#include <mutex>

namespace velk {

struct TunnelState {
  bool present = false;
  std::uint64_t luid = 0;
  bool operator==(const TunnelState&) const = default;
};

class TunnelRecord {
 public:
  TunnelState get() const;
  void set(TunnelState state);
  void set_absent();

 private:
  mutable std::mutex mutex_;
  TunnelState state_;
};

// The process-wide record; starts absent.
TunnelRecord& process_tunnel_record();

}  // namespace velk
