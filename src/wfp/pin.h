#pragma once
// A server endpoint the engine may reach while the kill switch is armed.

#include <compare>
#include <cstdint>

#include "platform/ip_address.h"

namespace velk {

struct Pin {
  IpAddress ip;
  std::uint16_t port = 0;

  // IPv4 before IPv6, then the address as an unsigned big-endian number, then the port.
  auto operator<=>(const Pin&) const = default;
  bool operator==(const Pin&) const = default;
};

}  // namespace velk
