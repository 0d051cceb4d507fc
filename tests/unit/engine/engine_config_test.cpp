#include "engine/engine_config.h"

#include <gtest/gtest.h>

#include <string>

#include "engine/route_validation.h"
#include "sample_route.h"

namespace velk {
namespace {

using nlohmann::json;
using test::sample_route;

const std::string secret = "000f10ff000f10ff000f10ff000f10ff000f10ff000f10ff000f10ff000f10ff";

TEST(EngineConfig, FullDocumentForTwoRoutes) {
  Route b = sample_route("srv-b");
  b.flow = "xtls-rprx-vision";
  Route a = sample_route("srv-a");
  a.server = "2001:db8::1";
  a.port = 8443;
  a.fingerprint = "randomized";
  a.short_id = "";
  const EngineRequest req{{b, a}, "srv-a"};
  ASSERT_TRUE(validate_request(req));

  const std::string expected =
      R"({"dns":{"final":"remote","servers":[{"detour":"proxy","server":"1.1.1.1","tag":"remote","type":"https"}]},)"
      R"("experimental":{"clash_api":{"external_controller":"127.0.0.1:8",)"
      R"("secret":"000f10ff000f10ff000f10ff000f10ff000f10ff000f10ff000f10ff000f10ff"}},)"
      R"("inbounds":[{"address":["172.19.0.1/30","fdfe:dcba:9876::1/126"],"auto_route":true,)"
      R"("interface_name":"velkvpn0","iproute2_rule_index":9000,"iproute2_table_index":2022,)"
      R"("route_exclude_address":["100.64.0.0/10","fd7a:115c:a1e0::/48"],"stack":"mixed","strict_route":true,)"
      R"("tag":"tun-in","type":"tun"}],)"
      R"("log":{"level":"error","timestamp":false},)"
      R"("outbounds":[)"
      R"({"default":"srv-a","interrupt_exist_connections":true,"outbounds":["auto","srv-b","srv-a"],)"
      R"("tag":"proxy","type":"selector"},)"
      R"({"interval":"10m","outbounds":["srv-b","srv-a"],"tag":"auto","type":"urltest",)"
      R"("url":"http://cp.cloudflare.com/generate_204"},)"
      R"({"flow":"xtls-rprx-vision","packet_encoding":"xudp","server":"10.0.0.1","server_port":443,"tag":"srv-b",)"
      R"("tls":{"enabled":true,"reality":{"enabled":true,"public_key":"abcdefghijklmnopqrstuvwxyzABCDEFGHIJ0123-_x",)"
      R"("short_id":"0123abcd"},"server_name":"www.example.com","utls":{"enabled":true,"fingerprint":"chrome"}},)"
      R"("type":"vless","uuid":"123e4567-e89b-12d3-a456-426614174000"},)"
      R"({"flow":"","server":"2001:db8::1","server_port":8443,"tag":"srv-a",)"
      R"("tls":{"enabled":true,"reality":{"enabled":true,"public_key":"abcdefghijklmnopqrstuvwxyzABCDEFGHIJ0123-_x",)"
      R"("short_id":""},"server_name":"www.example.com","utls":{"enabled":true,"fingerprint":"randomized"}},)"
      R"("type":"vless","uuid":"123e4567-e89b-12d3-a456-426614174000"}],)"
      R"("route":{"auto_detect_interface":true,"final":"proxy","rules":[{"action":"sniff"},)"
      R"({"action":"hijack-dns","protocol":"dns"},{"action":"reject","ip_is_private":true}]}})";
  EXPECT_EQ(build_engine_config(req, ControllerAccess{8, secret}), expected);
}

std::vector<std::string> strings_of(const json& array) {
  std::vector<std::string> out;
  for (const auto& v : array) out.push_back(v.get<std::string>());
  return out;
}

TEST(EngineConfig, RouteOrderIsKeptInEveryList) {
  const EngineRequest req{{sample_route("srv-c"), sample_route("srv-a"), sample_route("srv-b")}, "auto"};
  const json doc = json::parse(build_engine_config(req, ControllerAccess{1, secret}));
  const json& outbounds = doc["outbounds"];
  ASSERT_EQ(outbounds.size(), 5u);
  EXPECT_EQ(strings_of(outbounds[0]["outbounds"]), (std::vector<std::string>{"auto", "srv-c", "srv-a", "srv-b"}));
  EXPECT_EQ(strings_of(outbounds[1]["outbounds"]), (std::vector<std::string>{"srv-c", "srv-a", "srv-b"}));
  EXPECT_EQ(outbounds[2]["tag"], "srv-c");
  EXPECT_EQ(outbounds[3]["tag"], "srv-a");
  EXPECT_EQ(outbounds[4]["tag"], "srv-b");
  EXPECT_EQ(outbounds[0]["default"], "auto");
}

TEST(EngineConfig, OneRouteWithoutFlow) {
  const EngineRequest req{{sample_route("srv-x")}, "srv-x"};
  const json doc = json::parse(build_engine_config(req, ControllerAccess{65535, secret}));
  const json& vless = doc["outbounds"][2];
  EXPECT_EQ(vless["flow"], "");
  EXPECT_FALSE(vless.contains("packet_encoding"));
  EXPECT_EQ(strings_of(doc["outbounds"][0]["outbounds"]), (std::vector<std::string>{"auto", "srv-x"}));
  EXPECT_EQ(strings_of(doc["outbounds"][1]["outbounds"]), (std::vector<std::string>{"srv-x"}));
  EXPECT_EQ(doc["outbounds"][0]["default"], "srv-x");
  EXPECT_EQ(doc["experimental"]["clash_api"]["external_controller"], "127.0.0.1:65535");
}

}  // namespace
}  // namespace velk
