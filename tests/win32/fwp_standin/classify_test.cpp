// The stand-in decides a connection as the engine arbitrates: by weight within
// a sublayer, by sublayer weight across them, a block final unless a hard
// permit came first; conditions by their match type and value type.

#include "app_id_win32.h"
#include "model_classify.h"
#include "model_json.h"
#include "standin_support.h"

namespace velk::test {
namespace {

using nlohmann::json;
using namespace fwp_standin;

constexpr GUID kHigh = {0x5e5e0101, 0x1111, 0x4222, {0x83, 0x33, 0x44, 0x44, 0x55, 0x55, 0x66, 0x01}};
constexpr GUID kLow = {0x5e5e0102, 0x1111, 0x4222, {0x83, 0x33, 0x44, 0x44, 0x55, 0x55, 0x66, 0x02}};
constexpr GUID kTwin = {0x5e5e0103, 0x1111, 0x4222, {0x83, 0x33, 0x44, 0x44, 0x55, 0x55, 0x66, 0x03}};

Condition number(const GUID& field, std::uint32_t type, std::uint64_t v, std::uint32_t match = FWP_MATCH_EQUAL) {
  Condition c{field, match, {}};
  c.value.type = type;
  c.value.number = v;
  return c;
}
Condition tcp() { return number(kConditionIpProtocol, FWP_UINT8, 6); }
Condition udp() { return number(kConditionIpProtocol, FWP_UINT8, 17); }

// A filter of the connection's layer (0) unless a case moves it.
struct F {
  const char* name;
  GUID sublayer;
  std::uint32_t action;
  std::uint64_t weight = 0;
  std::vector<Condition> conditions = {};
  std::uint32_t flags = 0;
  int layer = 0;
};

Objects objects_of(const std::vector<F>& filters) {
  Objects o;
  o.sublayers = {Sublayer{kHigh, "high", {}, 0, {}, {}, 0xFFFF}, Sublayer{kLow, "low", {}, 0, {}, {}, 0x100},
                 Sublayer{kTwin, "twin", {}, 0, {}, {}, 0x100}};
  std::uint64_t id = 1;
  for (const F& f : filters) {
    Filter filter{.id = id++, .name = f.name, .flags = f.flags, .layer = kLayers[f.layer], .sublayer = f.sublayer,
                  .weight = {.type = FWP_UINT8, .number = f.weight}, .conditions = f.conditions, .action = f.action};
    filter.effective_weight = effective_weight(filter);
    o.filters.push_back(filter);
  }
  return o;
}

// Outbound TCP to 192.0.2.10:443.
Connection web() {
  Connection c;
  c.protocol = 6;
  c.remote_v4 = 0xC000020A;
  c.remote_port = 443;
  return c;
}

constexpr std::uint32_t B = FWP_ACTION_BLOCK, P = FWP_ACTION_PERMIT;
constexpr std::uint32_t kHard = FWPM_FILTER_FLAG_CLEAR_ACTION_RIGHT;

struct ArbitrationCase {
  const char* name;
  std::vector<F> filters;
  std::uint32_t action;
  const char* decided_by;  // "" when no filter matched
};

TEST(Classify, ArbitratesWithinAndAcrossSublayers) {
  const ArbitrationCase cases[] = {
      {"the heavier permit decides its sublayer", {{"block", kHigh, B, 0}, {"permit", kHigh, P, 10}}, P, "permit"},
      {"a heavier block decides its sublayer", {{"block", kHigh, B, 12}, {"permit", kHigh, P, 10, {tcp()}}}, B, "block"},
      {"a filter that does not match takes no part", {{"block", kHigh, B, 0}, {"permit", kHigh, P, 10, {udp()}}}, B,
       "block"},
      {"on equal weights the block goes first", {{"permit", kHigh, P, 10, {tcp()}}, {"block", kHigh, B, 10, {tcp()}}},
       B, "block"},
      {"a block below overrides a soft permit above", {{"permit", kHigh, P, 10}, {"block", kLow, B, 0}}, B, "block"},
      {"a hard permit above stands against a block below", {{"permit", kHigh, P, 10, {}, kHard}, {"block", kLow, B}},
       P, "permit"},
      {"a block above is final against a hard permit below",
       {{"block", kHigh, B, 0, {}, kHard}, {"permit", kLow, P, 15, {}, kHard}}, B, "block"},
      {"the default sublayer comes after every other", {{"block", GUID{}, B}, {"permit", kLow, P, 0, {}, kHard}}, P,
       "permit"},
      {"on equal sublayer weights the blocking one goes first",
       {{"permit", kTwin, P, 10, {}, kHard}, {"block", kLow, B, 0}}, B, "block"},
      {"disabled filters take no part", {{"block", kHigh, B, 0, {}, FWPM_FILTER_FLAG_DISABLED}}, P, ""},
      {"another layer's filters take no part", {{"block", kHigh, B, 0, {}, 0, 2}}, P, ""},
  };
  for (const auto& c : cases) {
    const Verdict v = classify(objects_of(c.filters), web());
    EXPECT_EQ(v.action, c.action) << c.name;
    EXPECT_EQ(v.filter_name, c.decided_by) << c.name;
    EXPECT_EQ(v.filter_id.has_value(), *c.decided_by != '\0') << c.name;
  }
}

TEST(Classify, MatchesConditionsByMatchAndValueType) {
  const Bytes engine = app_id_bytes(L"\\device\\harddiskvolume3\\velk\\engine.exe");
  const Bytes browser = app_id_bytes(L"\\device\\harddiskvolume3\\browser.exe");
  const Bytes v6_bytes = {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x20};  // 2001:db8::20
  const GUID& address = kConditionIpRemoteAddress;
  const Condition v4_net{address, FWP_MATCH_EQUAL,
                        {.type = FWP_V4_ADDR_MASK, .number = 0xC0000200, .mask = 0xFFFFFF00}};
  const Condition v6_address{address, FWP_MATCH_EQUAL, {.type = FWP_BYTE_ARRAY16_TYPE, .bytes = v6_bytes}};
  const Condition v6_net{address, FWP_MATCH_EQUAL, {.type = FWP_V6_ADDR_MASK, .bytes = v6_bytes, .prefix = 33}};
  const Condition app{kConditionAleAppId, FWP_MATCH_EQUAL, {.type = FWP_BYTE_BLOB_TYPE, .bytes = engine}};
  const Condition not_app{kConditionAleAppId, FWP_MATCH_NOT_EQUAL, app.value};

  auto set = [](auto change) {
    Connection c = web();
    change(c);
    return c;
  };
  // 2001:db8::20 on the IPv6 connect layer, with byte `i` changed to `b`.
  auto v6 = [&](std::size_t i, std::uint8_t b) {
    Connection c = web();
    c.layer = 1;
    std::copy(v6_bytes.begin(), v6_bytes.end(), c.remote_v6.begin());
    c.remote_v6[i] = b;
    return c;
  };
  const struct {
    const char* name;
    Condition condition;
    Connection connection;
    bool matches;
  } cases[] = {
      {"loopback flag all set", number(kConditionFlags, FWP_UINT32, 1, FWP_MATCH_FLAGS_ALL_SET),
       set([](Connection& c) { c.flags = 1; }), true},
      {"all of two flags, one set", number(kConditionFlags, FWP_UINT32, 3, FWP_MATCH_FLAGS_ALL_SET),
       set([](Connection& c) { c.flags = 1; }), false},
      {"any of two flags, one set", number(kConditionFlags, FWP_UINT32, 3, FWP_MATCH_FLAGS_ANY_SET),
       set([](Connection& c) { c.flags = 1; }), true},
      {"port differs", number(kConditionIpRemotePort, FWP_UINT16, 80), web(), false},
      {"port not equal", number(kConditionIpRemotePort, FWP_UINT16, 80, FWP_MATCH_NOT_EQUAL), web(), true},
      {"port above", number(kConditionIpRemotePort, FWP_UINT16, 442, FWP_MATCH_GREATER), web(), true},
      {"port of another type", number(kConditionIpRemotePort, FWP_UINT32, 443), web(), false},
      {"IPv4 address in the network", v4_net, web(), true},
      {"IPv4 address outside the network", v4_net, set([](Connection& c) { c.remote_v4 = 0xC000030A; }), false},
      {"IPv6 address", v6_address, v6(15, 0x20), true},
      {"IPv6 address differs in the last byte", v6_address, v6(15, 0x21), false},
      {"IPv6 address in the /33", v6_net, v6(4, 0x7f), true},
      {"IPv6 address outside the /33", v6_net, v6(4, 0x80), false},
      {"the same application", app, set([&](Connection& c) { c.app_id = engine; }), true},
      {"another application", app, set([&](Connection& c) { c.app_id = browser; }), false},
      {"no application", app, web(), false},
      {"no application is not another one", not_app, web(), false},
  };
  for (const auto& c : cases) EXPECT_EQ(condition_matches(c.condition, c.connection), c.matches) << c.name;

  // Conditions on one field are alternatives; on different fields all must hold.
  Filter f;
  f.conditions = {number(kConditionIpRemotePort, FWP_UINT16, 80), number(kConditionIpRemotePort, FWP_UINT16, 443)};
  EXPECT_TRUE(filter_matches(f, web()));
  f.conditions.push_back(udp());
  EXPECT_FALSE(filter_matches(f, web()));
}

class ClassifyTool : public StandinTest {};

TEST_F(ClassifyTool, ClassifiesAgainstTheCommittedFilters) {
  Engine engine;
  ASSERT_EQ(engine.open_result(), 0u);
  ASSERT_NO_FATAL_FAILURE(add_test_provider_and_sublayer(engine.get()));
  UINT64 block_id = 0, permit_id = 0;
  ASSERT_EQ(add_block(engine.get(), 0, &block_id), 0u);
  FWPM_FILTER0 permit = block_filter(0);
  FWPM_FILTER_CONDITION0 loopback{kConditionFlags, FWP_MATCH_FLAGS_ALL_SET, {FWP_UINT32, {}}};
  loopback.conditionValue.uint32 = FWP_CONDITION_FLAG_IS_LOOPBACK;
  permit.action.type = FWP_ACTION_PERMIT;
  permit.weight.uint8 = 10;
  permit.numFilterConditions = 1;
  permit.filterCondition = &loopback;
  ASSERT_EQ(FwpmFilterAdd0(engine.get(), &permit, nullptr, &permit_id), 0u);

  const std::vector<std::wstring> web{L"classify", L"--layer", L"ALE_AUTH_CONNECT_V4", L"--app",
                                      L"C:\\nowhere\\browser.exe", L"--protocol", L"tcp", L"--remote",
                                      L"192.0.2.10", L"--remote-port", L"443", L"--interface", L"lo"};
  ProcessResult r = run_tool(web);
  ASSERT_EQ(r.exit_code, 0u) << r.err;
  json v = json::parse(r.out);
  EXPECT_EQ(v.at("action"), "FWP_ACTION_BLOCK");
  EXPECT_EQ(v.at("filter_id"), block_id);
  EXPECT_EQ(v.at("sublayer_key"), key_text(kTestSublayer));

  // Several connections at once, one line each; nothing at the IPv6 layer: permitted by default.
  std::vector<std::wstring> more = web;
  for (const wchar_t* a : {L"--loopback", L"--next", L"--layer", L"1", L"--remote", L"2001:db8::1"}) more.push_back(a);
  r = run_tool(more);
  ASSERT_EQ(r.exit_code, 0u) << r.err;
  const std::size_t end = r.out.find('\n');
  ASSERT_NE(end, std::string::npos) << r.out;
  v = json::parse(r.out.substr(0, end));
  EXPECT_EQ(v.at("action"), "FWP_ACTION_PERMIT");
  EXPECT_EQ(v.at("filter_id"), permit_id);
  EXPECT_EQ(json::parse(r.out.substr(end + 1)),
            json::parse(R"({"action":"FWP_ACTION_PERMIT","filter_id":null,"filter_name":null,)"
                        R"("sublayer_key":null,"hard":false})"));

  for (const auto& bad : std::vector<std::vector<std::wstring>>{
           {L"classify", L"--protocol", L"tcp"},
           {L"classify", L"--layer", L"4"},
           {L"classify", L"--layer", L"0", L"--remote", L"2001:db8::1"},
           {L"classify", L"--layer", L"0", L"--interface", L"no-such-interface"},
           {L"classify", L"--layer", L"0", L"--local-port", L"65536"},
           {L"classify", L"--layer", L"0", L"--remote-port"},
           {L"classify", L"--layer", L"0", L"--next"}}) {
    r = run_tool(bad);
    EXPECT_EQ(r.exit_code, 2u) << r.out;
    EXPECT_TRUE(r.err.starts_with("fwp-standin classify: ")) << r.err;
  }
}

}  // namespace
}  // namespace velk::test
