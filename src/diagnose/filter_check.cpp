#include "diagnose/filter_check.h"

#include <algorithm>
#include <array>
#include <type_traits>
#include <variant>

#include "platform/text.h"
#include "wfp/filter_rules.h"

namespace velk {
namespace {

template <class T>
const T* condition_value(const FilterSpec& spec, ConditionField field) {
  for (const FilterCondition& c : spec.conditions) {
    if (c.field == field) return std::get_if<T>(&c.value);
  }
  return nullptr;
}

// The server a permit lets the engine reach, read from its conditions.
std::optional<Pin> endpoint_of(const FilterSpec& spec) {
  const auto* port = condition_value<std::uint16_t>(spec, ConditionField::ip_remote_port);
  if (port == nullptr) return std::nullopt;
  if (const auto* v4 = condition_value<std::uint32_t>(spec, ConditionField::ip_remote_address)) {
    const std::uint32_t a = *v4;
    return Pin{IpAddress::v4({static_cast<std::uint8_t>(a >> 24), static_cast<std::uint8_t>(a >> 16),
                              static_cast<std::uint8_t>(a >> 8), static_cast<std::uint8_t>(a)}),
               *port};
  }
  if (const auto* v6 = condition_value<ByteArray16>(spec, ConditionField::ip_remote_address)) {
    return Pin{IpAddress::v6(*v6), *port};
  }
  return std::nullopt;
}

// Whether `found` is the engine's permit to one of its servers.
bool is_engine_endpoint(const ListedFilter& found, const FilterExpectation& expected) {
  if (!found.understood) return false;
  const std::optional<Pin> pin = endpoint_of(found.spec);
  if (!pin) return false;
  const bool saved = std::find(expected.saved_addresses.begin(), expected.saved_addresses.end(), pin->ip) !=
                     expected.saved_addresses.end();
  if (!saved && !expected.request_pins) return false;
  std::optional<ByteBlob> app_id = expected.engine_app_id;
  if (!app_id) {
    const auto* listed = condition_value<ByteBlob>(found.spec, ConditionField::ale_app_id);
    if (listed == nullptr) return false;
    app_id = *listed;
  }
  for (const FilterRule& rule : build_rules({*pin}, false)) {
    if (rule.kind != RuleKind::endpoint) continue;
    const Result<FilterSpec> spec = filter_spec(rule, RuleInputs{0, &*app_id});
    return spec && *spec == found.spec;
  }
  return false;
}

// An application id is a NUL-terminated UTF-16 path; anything else in hexadecimal.
std::string blob_text(const ByteBlob& blob) {
  std::u16string text;
  for (std::size_t i = 0; i + 1 < blob.size(); i += 2) {
    const auto c = static_cast<char16_t>(blob[i] | (blob[i + 1] << 8));
    if (c == 0 && i + 2 == blob.size()) return utf8_from_utf16(text);
    if (c < 0x20) break;
    text.push_back(c);
  }
  return hex_lower(blob);
}

std::string value_text(const FilterCondition& c) {
  return std::visit(
      [&](const auto& v) -> std::string {
        using T = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<T, ByteBlob>) {
          return blob_text(v);
        } else if constexpr (std::is_same_v<T, ByteArray16>) {
          return c.field == ConditionField::ip_remote_address ? IpAddress::v6(v).to_string() : hex_lower(v);
        } else if constexpr (std::is_same_v<T, std::uint32_t>) {
          if (c.field != ConditionField::ip_remote_address) return std::to_string(v);
          return IpAddress::v4({static_cast<std::uint8_t>(v >> 24), static_cast<std::uint8_t>(v >> 16),
                                static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v)})
              .to_string();
        } else {
          return std::to_string(v);
        }
      },
      c.value);
}

std::string action_text(std::uint32_t action) {
  if (action == wfp::kActionBlock) return "block";
  if (action == wfp::kActionPermit) return "permit";
  return "action " + std::to_string(action);
}

}  // namespace

const char* layer_name(std::uint8_t layer) {
  static constexpr std::array<const char*, kLayerCount> kNames{"ALE_AUTH_CONNECT_V4", "ALE_AUTH_CONNECT_V6",
                                                               "ALE_AUTH_RECV_ACCEPT_V4", "ALE_AUTH_RECV_ACCEPT_V6"};
  return layer < kLayerCount ? kNames[layer] : "?";
}

std::string describe_filter(const FilterSpec& spec) {
  std::string text = std::string(layer_name(spec.layer)) + " " + action_text(spec.action) + " weight " +
                     std::to_string(spec.weight);
  if (spec.sublayer_key != wfp::kSublayerKey) text += " (another sublayer)";
  const char* separator = ": ";
  for (const FilterCondition& c : spec.conditions) {
    text += separator;
    text += std::string(to_string(c.field)) + " " + value_text(c);
    separator = ", ";
  }
  return text;
}

FilterComparison compare_filters(const std::vector<ListedFilter>& found, const FilterExpectation& expected) {
  FilterComparison result;
  std::vector<bool> matched(found.size(), false);
  const RuleInputs inputs{expected.tunnel_luid.value_or(0), nullptr};
  for (const FilterRule& rule : build_rules({}, expected.tunnel_luid.has_value())) {
    const Result<FilterSpec> spec = filter_spec(rule, inputs);
    if (!spec) continue;  // a pinless rule always translates
    bool present = false;
    for (std::size_t i = 0; i < found.size() && !present; ++i) {
      if (matched[i] || !found[i].understood || found[i].spec != *spec) continue;
      matched[i] = true;
      present = true;
    }
    if (!present) result.missing.push_back(describe_filter(*spec));
  }
  for (std::size_t i = 0; i < found.size(); ++i) {
    if (matched[i]) continue;
    if (is_engine_endpoint(found[i], expected)) {
      ++result.endpoint_permits;
    } else {
      std::string text = describe_filter(found[i].spec);
      if (!found[i].understood) text += " (not a filter the helper makes)";
      result.extra.push_back(std::move(text));
    }
  }
  return result;
}

}  // namespace velk
