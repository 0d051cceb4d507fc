#include "killswitch/address_rules.h"

#include <algorithm>

namespace velk {

std::optional<IpAddress> ipv4_carried_by(const IpAddress& address) {
  const auto& b = address.bytes();
  if (!address.is_v6() || !std::all_of(b.begin(), b.begin() + 10, [](std::uint8_t x) { return x == 0; }) ||
      b[10] != 0xFF || b[11] != 0xFF) {
    return std::nullopt;
  }
  return IpAddress::v4({b[12], b[13], b[14], b[15]});
}

bool is_acceptable_server_address(const IpAddress& address) {
  if (auto v4 = ipv4_carried_by(address)) return is_acceptable_server_address(*v4);
  const auto& b = address.bytes();
  if (address.is_v4()) {
    const std::uint32_t v = address.v4_value();
    if (v == 0 || v == 0xFFFFFFFFu) return false;  // 0.0.0.0, 255.255.255.255
    if (b[0] == 127) return false;                 // 127.0.0.0/8
    if ((b[0] & 0xF0) == 0xE0) return false;       // 224.0.0.0/4
    if (b[0] == 169 && b[1] == 254) return false;  // 169.254.0.0/16
    return true;
  }
  const bool high_zero = std::all_of(b.begin(), b.begin() + 15, [](std::uint8_t x) { return x == 0; });
  if (high_zero && (b[15] == 0 || b[15] == 1)) return false;  // ::, ::1
  if (b[0] == 0xFF) return false;                             // ff00::/8
  if (b[0] == 0xFE && (b[1] & 0xC0) == 0x80) return false;    // fe80::/10
  return true;
}

std::optional<IpAddress> choose_server_address(const std::vector<IpAddress>& answer) {
  for (const auto& a : answer) {
    if (a.is_v4() && is_acceptable_server_address(a)) return a;
  }
  for (const auto& a : answer) {
    if (is_acceptable_server_address(a)) return a;
  }
  return std::nullopt;
}

}  // namespace velk
