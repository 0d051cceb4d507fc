#pragma once
// The kill switch's filters in force against the rule list the saved state
// implies.
//
// What a saved killswitch.json implies is one of two sets, and both agree:
// the restored set (the rule list without pins: what the service, or
// --arm-from-state, installs from the file at its start, since the file keeps
// host addresses but not the ports a route uses) and the armed set (the same
// plus the engine's permits to its servers, installed by a start request).
// So every rule of the pinless list must be in force exactly once, and beyond
// it only the engine's endpoint permits are accepted: to an address saved in
// the file (any port), or, while the running helper reports a VPN wanted, to
// any address (the file keeps the addresses of host names only, not of
// servers given as addresses, and the helper's status does not list its
// pins). The tunnel permits belong to the list when the tunnel interface
// exists now, with its current LUID.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/ip_address.h"
#include "wfp/filter_spec.h"
#include "wfp/wfp_api.h"

namespace velk {

struct FilterExpectation {
  std::vector<IpAddress> saved_addresses;    // the addresses killswitch.json holds
  std::optional<std::uint64_t> tunnel_luid;  // the tunnel interface now; absent: none
  // The engine's application id; absent when it cannot be had (the endpoint
  // permits' own id is then taken as it stands).
  std::optional<ByteBlob> engine_app_id;
  // The running helper reports a VPN wanted: the pins of its start request may be in force.
  bool request_pins = false;
};

struct FilterComparison {
  std::vector<std::string> missing;  // rules not in force, described
  std::vector<std::string> extra;    // filters in force the saved state does not imply, described
  std::size_t endpoint_permits = 0;  // the engine's permits to its servers
};

FilterComparison compare_filters(const std::vector<ListedFilter>& found, const FilterExpectation& expected);

// "ALE_AUTH_CONNECT_V4" ... "ALE_AUTH_RECV_ACCEPT_V6"; "?" for another index.
const char* layer_name(std::uint8_t layer);
// One line: layer, action, weight and conditions, e.g.
// "ALE_AUTH_CONNECT_V4 permit weight 10: ip_protocol 17, ip_local_port 68, ip_remote_port 67".
std::string describe_filter(const FilterSpec& spec);

}  // namespace velk
