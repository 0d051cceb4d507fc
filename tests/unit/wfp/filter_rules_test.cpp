// The rule list and its translation into filter descriptions, dumped filter by
// filter: address and flag mistakes in rule builders are the ones that survive
// longest, so every field and condition is spelled out here.

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "ipc/error_codes.h"
#include "wfp/filter_rules.h"
#include "wfp/filter_spec.h"

namespace velk {
namespace {

Pin pin(const char* ip, std::uint16_t port) { return {*IpAddress::parse(ip), port}; }

std::string hex(std::uint64_t v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "0x%llx", static_cast<unsigned long long>(v));
  return buf;
}

std::string hex_bytes(const auto& bytes) {
  std::string s;
  char buf[3];
  for (std::uint8_t b : bytes) {
    std::snprintf(buf, sizeof buf, "%02x", b);
    s += buf;
  }
  return s;
}

std::string value(const ConditionValue& v) {
  struct {
    std::string operator()(std::uint8_t x) const { return "u8:" + std::to_string(x); }
    std::string operator()(std::uint16_t x) const { return "u16:" + std::to_string(x); }
    std::string operator()(std::uint32_t x) const { return "u32:" + hex(x); }
    std::string operator()(std::uint64_t x) const { return "u64:" + hex(x); }
    std::string operator()(const ByteBlob& x) const { return "blob:" + hex_bytes(x); }
    std::string operator()(const ByteArray16& x) const { return "a16:" + hex_bytes(x); }
  } visit;
  return std::visit(visit, v);
}

std::string action(std::uint32_t a) {
  if (a == wfp::kActionBlock) return "block";
  if (a == wfp::kActionPermit) return "permit";
  return hex(a);
}

// "<kind> L<layer> w<weight> <action> <flags>: <field><op><type>:<value>, ..."
std::string dump(const FilterRule& rule, const FilterSpec& f) {
  std::string s = std::string(to_string(rule.kind)) + " L" + std::to_string(f.layer) + " w" +
                  std::to_string(f.weight) + " " + action(f.action) + " " + hex(f.flags) + ":";
  for (std::size_t i = 0; i < f.conditions.size(); ++i) {
    const FilterCondition& c = f.conditions[i];
    s += (i == 0 ? " " : ", ") + std::string(to_string(c.field));
    s += c.match == wfp::MatchType::flags_all_set ? "&=" : (c.match == wfp::MatchType::equal ? "=" : "?");
    s += value(c.value);
  }
  return s;
}

const ByteBlob kAppId{0xAA, 0xBB, 0x00};
constexpr std::uint64_t kLuid = 0x0006'0001'0000'0000;

std::vector<std::string> dump_all(const std::vector<Pin>& pins, bool tunnel) {
  const std::vector<FilterRule> rules = build_rules(pins, tunnel);
  std::vector<std::string> lines;
  for (const FilterRule& r : rules) {
    const Result<FilterSpec> f = filter_spec(r, RuleInputs{kLuid, &kAppId});
    EXPECT_TRUE(f.ok());
    if (!f) continue;
    // The fields every filter shares.
    EXPECT_EQ(f->provider_key, wfp::kProviderKey);
    EXPECT_EQ(f->sublayer_key, wfp::kSublayerKey);
    EXPECT_EQ(f->display_name, r.permit ? "VELK VPN kill switch: permit" : "VELK VPN kill switch: block");
    EXPECT_EQ(f->weight, r.weight);
    lines.push_back(dump(r, *f));
  }
  return lines;
}

TEST(FilterRules, NoPinsNoTunnelGivesEighteenFilters) {
  const std::vector<std::string> expected = {
      "block_all L0 w0 block 0x9:",
      "loopback L0 w10 permit 0x1: flags&=u32:0x1",
      "block_all L1 w0 block 0x9:",
      "loopback L1 w10 permit 0x1: flags&=u32:0x1",
      "block_all L2 w0 block 0x9:",
      "loopback L2 w10 permit 0x1: flags&=u32:0x1",
      "block_all L3 w0 block 0x9:",
      "loopback L3 w10 permit 0x1: flags&=u32:0x1",
      "dhcp4 L0 w10 permit 0x1: ip_protocol=u8:17, ip_local_port=u16:68, ip_remote_port=u16:67",
      "dhcp6 L1 w10 permit 0x1: ip_protocol=u8:17, ip_local_port=u16:546, ip_remote_port=u16:547",
      "icmp6 L1 w10 permit 0x1: ip_protocol=u8:58, ip_local_port=u16:133",
      "icmp6 L1 w10 permit 0x1: ip_protocol=u8:58, ip_local_port=u16:135",
      "icmp6 L1 w10 permit 0x1: ip_protocol=u8:58, ip_local_port=u16:136",
      "icmp6 L3 w10 permit 0x1: ip_protocol=u8:58, ip_local_port=u16:134",
      "icmp6 L3 w10 permit 0x1: ip_protocol=u8:58, ip_local_port=u16:135",
      "icmp6 L3 w10 permit 0x1: ip_protocol=u8:58, ip_local_port=u16:136",
      "dhcp4 L2 w10 permit 0x1: ip_protocol=u8:17, ip_local_port=u16:68, ip_remote_port=u16:67",
      "dhcp6 L3 w10 permit 0x1: ip_protocol=u8:17, ip_local_port=u16:546, ip_remote_port=u16:547",
  };
  EXPECT_EQ(dump_all({}, false), expected);
}

TEST(FilterRules, TunnelAndThreePinsGiveTwentyFiveFilters) {
  const std::vector<Pin> pins = {pin("10.1.2.3", 443), pin("192.0.2.200", 8443), pin("2001:db8::1", 443)};
  const std::vector<std::string> expected = {
      "block_all L0 w0 block 0x9:",
      "loopback L0 w10 permit 0x1: flags&=u32:0x1",
      "tunnel L0 w10 permit 0x1: ip_local_interface=u64:0x6000100000000",
      "block_all L1 w0 block 0x9:",
      "loopback L1 w10 permit 0x1: flags&=u32:0x1",
      "tunnel L1 w10 permit 0x1: ip_local_interface=u64:0x6000100000000",
      "block_all L2 w0 block 0x9:",
      "loopback L2 w10 permit 0x1: flags&=u32:0x1",
      "tunnel L2 w10 permit 0x1: ip_local_interface=u64:0x6000100000000",
      "block_all L3 w0 block 0x9:",
      "loopback L3 w10 permit 0x1: flags&=u32:0x1",
      "tunnel L3 w10 permit 0x1: ip_local_interface=u64:0x6000100000000",
      "endpoint L0 w10 permit 0x1: ale_app_id=blob:aabb00, ip_protocol=u8:6, ip_remote_address=u32:0xa010203, "
      "ip_remote_port=u16:443",
      "endpoint L0 w10 permit 0x1: ale_app_id=blob:aabb00, ip_protocol=u8:6, ip_remote_address=u32:0xc00002c8, "
      "ip_remote_port=u16:8443",
      "endpoint L1 w10 permit 0x1: ale_app_id=blob:aabb00, ip_protocol=u8:6, "
      "ip_remote_address=a16:20010db8000000000000000000000001, ip_remote_port=u16:443",
      "dhcp4 L0 w10 permit 0x1: ip_protocol=u8:17, ip_local_port=u16:68, ip_remote_port=u16:67",
      "dhcp6 L1 w10 permit 0x1: ip_protocol=u8:17, ip_local_port=u16:546, ip_remote_port=u16:547",
      "icmp6 L1 w10 permit 0x1: ip_protocol=u8:58, ip_local_port=u16:133",
      "icmp6 L1 w10 permit 0x1: ip_protocol=u8:58, ip_local_port=u16:135",
      "icmp6 L1 w10 permit 0x1: ip_protocol=u8:58, ip_local_port=u16:136",
      "icmp6 L3 w10 permit 0x1: ip_protocol=u8:58, ip_local_port=u16:134",
      "icmp6 L3 w10 permit 0x1: ip_protocol=u8:58, ip_local_port=u16:135",
      "icmp6 L3 w10 permit 0x1: ip_protocol=u8:58, ip_local_port=u16:136",
      "dhcp4 L2 w10 permit 0x1: ip_protocol=u8:17, ip_local_port=u16:68, ip_remote_port=u16:67",
      "dhcp6 L3 w10 permit 0x1: ip_protocol=u8:17, ip_local_port=u16:546, ip_remote_port=u16:547",
  };
  EXPECT_EQ(dump_all(pins, true), expected);
}

TEST(FilterRules, RuleFieldsCarryThePinAndIcmpType) {
  const Pin v6 = pin("2001:db8::2", 8443);
  const std::vector<FilterRule> rules = build_rules({v6}, false);
  ASSERT_EQ(rules.size(), 8u + 1 + 10);
  EXPECT_EQ(rules[8], (FilterRule{RuleKind::endpoint, kLayerConnectV6, 10, true, v6, 0}));
  EXPECT_EQ(rules[11], (FilterRule{RuleKind::icmp6, kLayerConnectV6, 10, true, {}, 133}));
  EXPECT_EQ(rules[14], (FilterRule{RuleKind::icmp6, kLayerAcceptV6, 10, true, {}, 134}));
}

TEST(FilterRules, EndpointWithoutApplicationIdFailsOthersDoNot) {
  const std::vector<FilterRule> rules = build_rules({pin("10.0.0.1", 443)}, true);
  for (const FilterRule& r : rules) {
    const Result<FilterSpec> f = filter_spec(r, RuleInputs{kLuid, nullptr});
    if (r.kind == RuleKind::endpoint) {
      ASSERT_FALSE(f.ok());
      EXPECT_EQ(f.error(), err::killswitch_failed);
    } else {
      EXPECT_TRUE(f.ok()) << to_string(r.kind);
    }
  }
}

TEST(FilterRules, ProviderAndSublayerObjects) {
  const ProviderSpec p = kill_switch_provider();
  EXPECT_EQ(wfp::to_string(p.key), "76656c6b-766e-4b53-8000-000000000001");
  EXPECT_EQ(p.display_name, "VELK VPN");
  EXPECT_EQ(p.flags, 1u);
  const SublayerSpec s = kill_switch_sublayer();
  EXPECT_EQ(wfp::to_string(s.key), "76656c6b-766e-4b53-8000-000000000002");
  EXPECT_EQ(s.display_name, "VELK VPN");
  EXPECT_EQ(s.flags, 1u);
  EXPECT_EQ(s.provider_key, p.key);
  EXPECT_EQ(s.weight, 0xFFFF);
}

// The initialisers were transcribed from the SDK bytes; the strings here from
// the GUID column of the reference, independently.
TEST(WfpConstants, KeysMatchTheirTextForm) {
  EXPECT_EQ(wfp::to_string(*layer_key(0)), "c38d57d1-05a7-4c33-904f-7fbceee60e82");
  EXPECT_EQ(wfp::to_string(*layer_key(1)), "4a72393b-319f-44bc-84c3-ba54dcb3b6b4");
  EXPECT_EQ(wfp::to_string(*layer_key(2)), "e1cd9fe7-f4b5-4273-96c0-592e487b8650");
  EXPECT_EQ(wfp::to_string(*layer_key(3)), "a3b42c97-9f04-4672-b87e-cee9c483257f");
  EXPECT_EQ(layer_key(4), nullptr);
  EXPECT_EQ(wfp::to_string(field_key(ConditionField::flags)), "632ce23b-5167-435c-86d7-e903684aa80c");
  EXPECT_EQ(wfp::to_string(field_key(ConditionField::ip_local_interface)), "4cd62a49-59c3-4969-b7f3-bda5d32890a4");
  EXPECT_EQ(wfp::to_string(field_key(ConditionField::ale_app_id)), "d78e1e87-8644-4ea5-9437-d809ecefc971");
  EXPECT_EQ(wfp::to_string(field_key(ConditionField::ip_protocol)), "3971ef2b-623e-4f9a-8cb1-6e79b806b9a7");
  EXPECT_EQ(wfp::to_string(field_key(ConditionField::ip_remote_address)), "b235ae9a-1d64-49b8-a44c-5ff3d9095045");
  EXPECT_EQ(wfp::to_string(field_key(ConditionField::ip_remote_port)), "c35a604d-d22b-4e1a-91b4-68f674ee674b");
  EXPECT_EQ(wfp::to_string(field_key(ConditionField::ip_local_port)), "0c1ba1af-5765-453f-af22-a8f791ac775b");
}

TEST(WfpConstants, ConditionValueTypes) {
  EXPECT_EQ(data_type(ConditionValue{std::uint8_t{6}}), wfp::DataType::uint8);
  EXPECT_EQ(data_type(ConditionValue{std::uint16_t{68}}), wfp::DataType::uint16);
  EXPECT_EQ(data_type(ConditionValue{std::uint32_t{1}}), wfp::DataType::uint32);
  EXPECT_EQ(data_type(ConditionValue{std::uint64_t{1}}), wfp::DataType::uint64);
  EXPECT_EQ(data_type(ConditionValue{ByteBlob{1}}), wfp::DataType::byte_blob);
  EXPECT_EQ(data_type(ConditionValue{ByteArray16{}}), wfp::DataType::byte_array16);
  EXPECT_EQ(static_cast<std::uint32_t>(wfp::DataType::byte_array16), 11u);
  EXPECT_EQ(static_cast<std::uint32_t>(wfp::DataType::byte_blob), 12u);
}

}  // namespace
}  // namespace velk
