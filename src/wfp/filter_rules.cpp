#include "wfp/filter_rules.h"

namespace velk {
namespace {

FilterRule block_all(std::uint8_t layer) { return {RuleKind::block_all, layer, kBlockWeight, false, {}, 0}; }
FilterRule permit(RuleKind kind, std::uint8_t layer) { return {kind, layer, kPermitWeight, true, {}, 0}; }

FilterRule endpoint(const Pin& pin) {
  FilterRule r = permit(RuleKind::endpoint, pin.ip.is_v4() ? kLayerConnectV4 : kLayerConnectV6);
  r.endpoint = pin;
  return r;
}

FilterRule icmp6(std::uint8_t layer, std::uint8_t type) {
  FilterRule r = permit(RuleKind::icmp6, layer);
  r.icmp_type = type;
  return r;
}

}  // namespace

std::vector<FilterRule> build_rules(const std::vector<Pin>& pins, bool tunnel_found) {
  std::vector<FilterRule> rules;
  rules.reserve(kLayerCount * 3 + pins.size() + 10);

  // Each layer: block everything, then the loopback and tunnel permits.
  for (std::uint8_t layer = 0; layer < kLayerCount; ++layer) {
    rules.push_back(block_all(layer));
    rules.push_back(permit(RuleKind::loopback, layer));
    if (tunnel_found) rules.push_back(permit(RuleKind::tunnel, layer));
  }
  // The engine's connections to its servers.
  for (const Pin& pin : pins) rules.push_back(endpoint(pin));
  // Outbound DHCP and neighbour discovery.
  rules.push_back(permit(RuleKind::dhcp4, kLayerConnectV4));
  rules.push_back(permit(RuleKind::dhcp6, kLayerConnectV6));
  for (std::uint8_t type : {133, 135, 136}) rules.push_back(icmp6(kLayerConnectV6, type));  // RS, NS, NA
  // Inbound neighbour discovery and DHCP.
  for (std::uint8_t type : {134, 135, 136}) rules.push_back(icmp6(kLayerAcceptV6, type));  // RA, NS, NA
  rules.push_back(permit(RuleKind::dhcp4, kLayerAcceptV4));
  rules.push_back(permit(RuleKind::dhcp6, kLayerAcceptV6));
  return rules;
}

const char* to_string(RuleKind kind) {
  switch (kind) {
    case RuleKind::block_all: return "block_all";
    case RuleKind::loopback: return "loopback";
    case RuleKind::tunnel: return "tunnel";
    case RuleKind::endpoint: return "endpoint";
    case RuleKind::dhcp4: return "dhcp4";
    case RuleKind::dhcp6: return "dhcp6";
    case RuleKind::icmp6: return "icmp6";
  }
  return "?";
}

}  // namespace velk
