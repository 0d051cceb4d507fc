#pragma once
// The kill switch's rule list.
//
// Safety invariant: there is no moment at which traffic is permitted that the
// policy below does not permit. The policy, at the four ALE authorisation
// layers, is: block everything, except loopback traffic, all traffic on the
// tunnel interface, outbound TCP from the engine executable to each pinned
// server address and port, DHCPv4 and DHCPv6, and the IPv6 router and
// neighbour-discovery messages. Every function of this module is written
// against it:
//   - every layer gets its block rule; a permit never exists without the
//     block of its layer in the same set;
//   - a set is only ever replaced or removed inside one engine transaction, so
//     the old set stays in force until the new one is committed, and a failure
//     anywhere leaves the old set exactly as it was;
//   - the block rules clear the action right, so a permit in a lower-weight
//     sublayer cannot override them;
//   - the endpoint permits carry the engine's application id; without one an
//     install with pins fails rather than permitting any program.

#include <cstdint>
#include <vector>

#include "wfp/pin.h"

namespace velk {

// The four layers, by index.
inline constexpr std::uint8_t kLayerConnectV4 = 0;  // ALE_AUTH_CONNECT_V4
inline constexpr std::uint8_t kLayerConnectV6 = 1;  // ALE_AUTH_CONNECT_V6
inline constexpr std::uint8_t kLayerAcceptV4 = 2;   // ALE_AUTH_RECV_ACCEPT_V4
inline constexpr std::uint8_t kLayerAcceptV6 = 3;   // ALE_AUTH_RECV_ACCEPT_V6
inline constexpr std::uint8_t kLayerCount = 4;

inline constexpr std::uint8_t kBlockWeight = 0;
inline constexpr std::uint8_t kPermitWeight = 10;

// The alias of the tunnel interface the engine creates.
inline constexpr const char* kTunnelAlias = "velkvpn0";

enum class RuleKind : std::uint8_t { block_all, loopback, tunnel, endpoint, dhcp4, dhcp6, icmp6 };

struct FilterRule {
  RuleKind kind = RuleKind::block_all;
  std::uint8_t layer = 0;  // 0..3, see kLayer*
  std::uint8_t weight = 0;
  bool permit = false;
  Pin endpoint{};              // only for RuleKind::endpoint
  std::uint8_t icmp_type = 0;  // only for RuleKind::icmp6

  bool operator==(const FilterRule&) const = default;
};

// The rule list for `pins` (sorted, no duplicates), in the order the filters
// are added. `tunnel_found`: the tunnel interface exists now.
std::vector<FilterRule> build_rules(const std::vector<Pin>& pins, bool tunnel_found);

const char* to_string(RuleKind kind);

}  // namespace velk
