#pragma once
// The WFP objects of the kill switch as plain data: the provider, the sublayer
// and one filter description per rule. The Windows layer copies these field by
// field into FWPM_PROVIDER0 / FWPM_SUBLAYER0 / FWPM_FILTER0; everything that
// decides a value (flags, weights, byte orders, condition types) happens here.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "platform/result.h"
#include "wfp/filter_rules.h"
#include "wfp/wfp_constants.h"

namespace velk {

inline constexpr const char* kProviderName = "VELK VPN";
inline constexpr const char* kSublayerName = "VELK VPN";
inline constexpr const char* kBlockFilterName = "VELK VPN kill switch: block";
inline constexpr const char* kPermitFilterName = "VELK VPN kill switch: permit";

inline constexpr std::uint8_t kProtocolTcp = 6;
inline constexpr std::uint8_t kProtocolUdp = 17;
inline constexpr std::uint8_t kProtocolIcmpv6 = 58;

struct ProviderSpec {
  wfp::Guid key;
  std::string display_name;  // UTF-8
  std::uint32_t flags = 0;
  bool operator==(const ProviderSpec&) const = default;
};

struct SublayerSpec {
  wfp::Guid key;
  std::string display_name;  // UTF-8
  std::uint32_t flags = 0;
  wfp::Guid provider_key;
  std::uint16_t weight = 0;
  bool operator==(const SublayerSpec&) const = default;
};

enum class ConditionField : std::uint8_t {
  flags,               // FWPM_CONDITION_FLAGS
  ip_local_interface,  // FWPM_CONDITION_IP_LOCAL_INTERFACE
  ale_app_id,          // FWPM_CONDITION_ALE_APP_ID
  ip_protocol,         // FWPM_CONDITION_IP_PROTOCOL
  ip_remote_address,   // FWPM_CONDITION_IP_REMOTE_ADDRESS
  ip_remote_port,      // FWPM_CONDITION_IP_REMOTE_PORT
  ip_local_port,       // FWPM_CONDITION_IP_LOCAL_PORT
};

using ByteBlob = std::vector<std::uint8_t>;
using ByteArray16 = std::array<std::uint8_t, 16>;
// The typed value of a condition: FWP_UINT8, FWP_UINT16, FWP_UINT32,
// FWP_UINT64, FWP_BYTE_BLOB_TYPE, FWP_BYTE_ARRAY16_TYPE.
using ConditionValue = std::variant<std::uint8_t, std::uint16_t, std::uint32_t, std::uint64_t, ByteBlob, ByteArray16>;

struct FilterCondition {
  ConditionField field = ConditionField::flags;
  wfp::MatchType match = wfp::MatchType::equal;
  ConditionValue value;
  bool operator==(const FilterCondition&) const = default;
};

struct FilterSpec {
  std::string display_name;  // UTF-8
  std::uint32_t flags = 0;
  wfp::Guid provider_key;
  std::uint8_t layer = 0;  // 0..3
  wfp::Guid sublayer_key;
  std::uint8_t weight = 0;  // FWP_UINT8
  std::uint32_t action = 0;
  std::vector<FilterCondition> conditions;
  bool operator==(const FilterSpec&) const = default;
};

ProviderSpec kill_switch_provider();
SublayerSpec kill_switch_sublayer();

// What a rule's translation needs from outside the rule.
struct RuleInputs {
  std::uint64_t tunnel_luid = 0;    // for RuleKind::tunnel
  const ByteBlob* app_id = nullptr;  // the engine's application id, if known
};

// One rule as a filter. An endpoint rule without an application id:
// "killswitch_failed".
Result<FilterSpec> filter_spec(const FilterRule& rule, const RuleInputs& inputs);

wfp::DataType data_type(const ConditionValue& v);
// The key of layer 0..3; nullptr for any other index.
const wfp::Guid* layer_key(std::uint8_t layer);
const wfp::Guid& field_key(ConditionField field);
const char* to_string(ConditionField field);

}  // namespace velk
