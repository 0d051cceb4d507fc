#include "wfp/filter_spec.h"

#include "ipc/error_codes.h"

namespace velk {
namespace {

FilterCondition equal(ConditionField field, ConditionValue value) {
  return {field, wfp::MatchType::equal, std::move(value)};
}

FilterCondition protocol(std::uint8_t p) { return equal(ConditionField::ip_protocol, p); }
FilterCondition local_port(std::uint16_t port) { return equal(ConditionField::ip_local_port, port); }
FilterCondition remote_port(std::uint16_t port) { return equal(ConditionField::ip_remote_port, port); }

// IPv4: the address as a number (host byte order); IPv6: the 16 bytes in network order.
ConditionValue remote_address(const IpAddress& ip) {
  if (ip.is_v4()) return ip.v4_value();
  return ip.bytes();
}

}  // namespace

ProviderSpec kill_switch_provider() {
  return {wfp::kProviderKey, kProviderName, wfp::kProviderFlagPersistent};
}

SublayerSpec kill_switch_sublayer() {
  return {wfp::kSublayerKey, kSublayerName, wfp::kSublayerFlagPersistent, wfp::kProviderKey,
          wfp::kSublayerWeightHighest};
}

Result<FilterSpec> filter_spec(const FilterRule& rule, const RuleInputs& inputs) {
  FilterSpec f;
  f.display_name = rule.permit ? kPermitFilterName : kBlockFilterName;
  // A block clears the action right: no lower-weight sublayer can permit past it.
  f.flags = rule.permit ? wfp::kFilterFlagPersistent : wfp::kFilterFlagPersistent | wfp::kFilterFlagClearActionRight;
  f.provider_key = wfp::kProviderKey;
  f.layer = rule.layer;
  f.sublayer_key = wfp::kSublayerKey;
  f.weight = rule.weight;
  f.action = rule.permit ? wfp::kActionPermit : wfp::kActionBlock;

  auto& c = f.conditions;
  switch (rule.kind) {
    case RuleKind::block_all:
      break;
    case RuleKind::loopback:
      c.push_back({ConditionField::flags, wfp::MatchType::flags_all_set, wfp::kConditionFlagIsLoopback});
      break;
    case RuleKind::tunnel:
      c.push_back(equal(ConditionField::ip_local_interface, inputs.tunnel_luid));
      break;
    case RuleKind::endpoint:
      if (inputs.app_id == nullptr) return fail(err::killswitch_failed);
      c.push_back(equal(ConditionField::ale_app_id, *inputs.app_id));
      c.push_back(protocol(kProtocolTcp));
      c.push_back(equal(ConditionField::ip_remote_address, remote_address(rule.endpoint.ip)));
      c.push_back(remote_port(rule.endpoint.port));
      break;
    case RuleKind::dhcp4:
      c = {protocol(kProtocolUdp), local_port(68), remote_port(67)};
      break;
    case RuleKind::dhcp6:
      c = {protocol(kProtocolUdp), local_port(546), remote_port(547)};
      break;
    case RuleKind::icmp6:
      // At the ALE layers the local port carries the ICMP type.
      c = {protocol(kProtocolIcmpv6), local_port(rule.icmp_type)};
      break;
  }
  return f;
}

wfp::DataType data_type(const ConditionValue& v) {
  static constexpr wfp::DataType kTypes[] = {wfp::DataType::uint8,     wfp::DataType::uint16,
                                             wfp::DataType::uint32,    wfp::DataType::uint64,
                                             wfp::DataType::byte_blob, wfp::DataType::byte_array16};
  static_assert(std::variant_size_v<ConditionValue> == std::size(kTypes));
  return kTypes[v.index()];
}

const wfp::Guid* layer_key(std::uint8_t layer) {
  static constexpr wfp::Guid kKeys[kLayerCount] = {wfp::kLayerAleAuthConnectV4, wfp::kLayerAleAuthConnectV6,
                                                   wfp::kLayerAleAuthRecvAcceptV4, wfp::kLayerAleAuthRecvAcceptV6};
  return layer < kLayerCount ? &kKeys[layer] : nullptr;
}

const wfp::Guid& field_key(ConditionField field) {
  switch (field) {
    case ConditionField::flags: return wfp::kConditionFlags;
    case ConditionField::ip_local_interface: return wfp::kConditionIpLocalInterface;
    case ConditionField::ale_app_id: return wfp::kConditionAleAppId;
    case ConditionField::ip_protocol: return wfp::kConditionIpProtocol;
    case ConditionField::ip_remote_address: return wfp::kConditionIpRemoteAddress;
    case ConditionField::ip_remote_port: return wfp::kConditionIpRemotePort;
    case ConditionField::ip_local_port: return wfp::kConditionIpLocalPort;
  }
  return wfp::kConditionFlags;
}

const char* to_string(ConditionField field) {
  switch (field) {
    case ConditionField::flags: return "flags";
    case ConditionField::ip_local_interface: return "ip_local_interface";
    case ConditionField::ale_app_id: return "ale_app_id";
    case ConditionField::ip_protocol: return "ip_protocol";
    case ConditionField::ip_remote_address: return "ip_remote_address";
    case ConditionField::ip_remote_port: return "ip_remote_port";
    case ConditionField::ip_local_port: return "ip_local_port";
  }
  return "?";
}

}  // namespace velk
