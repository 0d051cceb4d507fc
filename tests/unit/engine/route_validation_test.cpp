#include "engine/route_validation.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "ipc/error_codes.h"
#include "sample_route.h"

namespace velk {
namespace {

using test::sample_request;
using test::sample_route;

std::string code_of(const Outcome& o) { return o ? std::string("ok") : std::string(o.error()); }

struct TextCase {
  std::string value;
  bool ok;
};

// Sets one text field of a valid route and checks the route is accepted or
// refused with that field's code.
void check_field(std::string Route::*field, std::string_view code, const std::vector<TextCase>& cases) {
  for (const auto& c : cases) {
    Route r = sample_route();
    r.*field = c.value;
    EXPECT_EQ(code_of(validate_route(r)), c.ok ? "ok" : std::string(code)) << "value: \"" << c.value << "\"";
  }
}

TEST(ValidateRoute, SampleRouteIsValid) { EXPECT_TRUE(validate_route(sample_route())); }

TEST(ValidateRoute, Tag) {
  check_field(&Route::tag, err::invalid_tag,
              {{"srv-", false},
               {"srv-a", true},
               {"srv-" + std::string(64, 'x'), true},
               {"srv-" + std::string(65, 'x'), false},
               {"srv-Az09_-", true},
               {"srv--", true},
               {"SRV-a", false},
               {"srv_a", false},
               {"srv-a.b", false},
               {"srv-a b", false},
               {"srv-\xc3\xa9", false},
               {"xsrv-a", false},
               {"", false},
               {"auto", false},
               {"proxy", false}});
}

TEST(ValidateRoute, Server) {
  check_field(&Route::server, err::invalid_server,
              {{"10.0.0.1", true},
               {"2001:db8::1", true},
               {"::ffff:1.2.3.4", true},
               {"[2001:db8::1]", false},
               {"fe80::1%eth0", false},
               {"2001:db8::g", false},
               {"1.2.3.4:443", false},
               {"a..b", false},
               {"a.b..", false},
               {".example", false},
               {"-x", false},
               {"x-", true},
               {"x.", true},
               {"vpn.example.com", true},
               {std::string(253, 'a'), true},
               {std::string(254, 'a'), false},
               {"", false},
               {"ex_ample.com", false},
               {"ex ample.com", false},
               {"b\xc3\xbc"
                "cher.de",
                false}});
}

TEST(ValidateRoute, Port) {
  for (auto [port, ok] : {std::pair{0, false}, {1, true}, {443, true}, {65535, true}}) {
    Route r = sample_route();
    r.port = static_cast<std::uint16_t>(port);
    EXPECT_EQ(code_of(validate_route(r)), ok ? "ok" : "invalid_port") << port;
  }
}

TEST(ValidateRoute, Uuid) {
  check_field(&Route::uuid, err::invalid_uuid,
              {{"123e4567-e89b-12d3-a456-426614174000", true},
               {"123E4567-E89B-12D3-A456-42661417400F", true},
               {"00000000-0000-0000-0000-000000000000", true},
               {"123e456-7e89b-12d3-a456-426614174000", false},  // hyphen moved by one
               {"123e4567-e89b-12d3-a4564-26614174000", false},
               {"123e4567e89b12d3a456426614174000", false},
               {"123e4567-e89b-12d3-a456-4266141740000", false},
               {"123e4567-e89b-12d3-a456-42661417400", false},
               {"123e4567-e89b-12d3-a456-42661417400g", false},
               {"{23e4567-e89b-12d3-a456-42661417400}", false},
               {"", false}});
}

TEST(ValidateRoute, Flow) {
  check_field(&Route::flow, err::invalid_flow,
              {{"", true},
               {"xtls-rprx-vision", true},
               {"XTLS-RPRX-VISION", false},
               {"xtls-rprx-vision ", false},
               {"xtls-rprx-direct", false},
               {" ", false}});
}

TEST(ValidateRoute, ServerName) {
  check_field(&Route::server_name, err::invalid_server_name,
              {{"www.example.com", true},
               {"a..b", true},  // no consecutive-dot rule here
               {"1.2.3.4", true},
               {"x-", true},
               {"x.", true},
               {"2001:db8::1", false},
               {"", false},
               {".x", false},
               {"-x", false},
               {"x_y", false},
               {std::string(253, 'a'), true},
               {std::string(254, 'a'), false}});
}

TEST(ValidateRoute, Fingerprint) {
  std::vector<TextCase> cases;
  for (const char* name : {"chrome", "firefox", "safari", "ios", "android", "edge", "360", "qq", "random", "randomized"}) {
    cases.push_back({name, true});
  }
  for (const char* name : {"Chrome", "CHROME", "", "chrome ", "randomize", "firefox_auto"}) cases.push_back({name, false});
  check_field(&Route::fingerprint, err::invalid_fingerprint, cases);
}

TEST(ValidateRoute, PublicKey) {
  const std::string key = sample_route().public_key;
  check_field(&Route::public_key, err::invalid_public_key,
              {{key, true},
               {std::string(43, '-'), true},
               {std::string(42, 'A') + "+", false},
               {std::string(42, 'A') + "/", false},
               {key + "=", false},  // 44 bytes with padding
               {key.substr(0, 42), false},
               {std::string(42, 'A') + "\xc3", false},
               {"", false}});
}

TEST(ValidateRoute, ShortId) {
  check_field(&Route::short_id, err::invalid_short_id,
              {{"", true},
               {"0", false},
               {"00", true},
               {"0123456789abcdef", true},
               {"0123456789ABCDEF", true},
               {"0123456789abcdef01", false},
               {"0123456789abcde", false},
               {"zz", false},
               {"0g", false},
               {"0x", false}});
}

// Every rule broken at once; repairing the fields one by one in rule order
// must reveal the codes in exactly that order.
TEST(ValidateRoute, FirstBrokenRuleWins) {
  Route bad;
  bad.tag = "bad";
  bad.server = "..";
  bad.port = 0;
  bad.uuid = "x";
  bad.flow = "x";
  bad.server_name = "";
  bad.fingerprint = "x";
  bad.public_key = "x";
  bad.short_id = "x";
  const Route good = sample_route();
  struct Step {
    std::string_view code;
    void (*repair)(Route&, const Route&);
  };
  const Step steps[] = {
      {err::invalid_tag, [](Route& r, const Route& g) { r.tag = g.tag; }},
      {err::invalid_server, [](Route& r, const Route& g) { r.server = g.server; }},
      {err::invalid_port, [](Route& r, const Route& g) { r.port = g.port; }},
      {err::invalid_uuid, [](Route& r, const Route& g) { r.uuid = g.uuid; }},
      {err::invalid_flow, [](Route& r, const Route& g) { r.flow = g.flow; }},
      {err::invalid_server_name, [](Route& r, const Route& g) { r.server_name = g.server_name; }},
      {err::invalid_fingerprint, [](Route& r, const Route& g) { r.fingerprint = g.fingerprint; }},
      {err::invalid_public_key, [](Route& r, const Route& g) { r.public_key = g.public_key; }},
      {err::invalid_short_id, [](Route& r, const Route& g) { r.short_id = g.short_id; }},
  };
  for (const auto& step : steps) {
    EXPECT_EQ(code_of(validate_route(bad)), step.code);
    step.repair(bad, good);
  }
  EXPECT_EQ(code_of(validate_route(bad)), "ok");
}

TEST(ValidateRequest, RouteCountLimits) {
  EXPECT_EQ(code_of(validate_request(sample_request(0))), "no_routes");
  EXPECT_EQ(code_of(validate_request(sample_request(0, "srv-x"))), "no_routes");
  EXPECT_EQ(code_of(validate_request(sample_request(1))), "ok");
  EXPECT_EQ(code_of(validate_request(sample_request(64))), "ok");
  EXPECT_EQ(code_of(validate_request(sample_request(65))), "too_many_routes");

  // Checked before any route is looked at.
  EngineRequest invalid;
  invalid.routes.assign(65, Route{});
  invalid.selected = "nowhere";
  EXPECT_EQ(code_of(validate_request(invalid)), "too_many_routes");
  invalid.routes.resize(64);
  EXPECT_EQ(code_of(validate_request(invalid)), "invalid_tag");
}

TEST(ValidateRequest, DuplicateTagsAreCaseSensitive) {
  EngineRequest req{{sample_route("srv-a"), sample_route("srv-a")}, "auto"};
  EXPECT_EQ(code_of(validate_request(req)), "duplicate_tag");
  req.routes[1].tag = "srv-A";
  EXPECT_EQ(code_of(validate_request(req)), "ok");
  req.routes.push_back(sample_route("srv-b"));
  req.routes.push_back(sample_route("srv-A"));
  EXPECT_EQ(code_of(validate_request(req)), "duplicate_tag");
}

TEST(ValidateRequest, ListOrderAndRouteRulesBeforeDuplicates) {
  // The second route has a bad port, the third repeats the first tag.
  EngineRequest req{{sample_route("srv-a"), sample_route("srv-b"), sample_route("srv-a")}, "auto"};
  req.routes[1].port = 0;
  EXPECT_EQ(code_of(validate_request(req)), "invalid_port");

  // A duplicate that comes before a broken route is reported first.
  EngineRequest dup_first{{sample_route("srv-a"), sample_route("srv-a"), sample_route("bad")}, "auto"};
  EXPECT_EQ(code_of(validate_request(dup_first)), "duplicate_tag");

  // A route rule of the repeated route itself is reported before the repetition.
  EngineRequest dup_broken{{sample_route("srv-a"), sample_route("srv-a")}, "auto"};
  dup_broken.routes[1].short_id = "0";
  EXPECT_EQ(code_of(validate_request(dup_broken)), "invalid_short_id");

  // Earlier routes win over later ones whatever the rules' order.
  EngineRequest order{{sample_route("srv-a"), sample_route("bad")}, "auto"};
  order.routes[0].short_id = "zz";
  EXPECT_EQ(code_of(validate_request(order)), "invalid_short_id");

  // Route failures and duplicates come before the selection.
  EngineRequest sel{{sample_route("srv-a"), sample_route("srv-a")}, "srv-missing"};
  EXPECT_EQ(code_of(validate_request(sel)), "duplicate_tag");
}

TEST(ValidateRequest, Selection) {
  EngineRequest req{{sample_route("srv-a"), sample_route("srv-b")}, ""};
  for (auto [selected, ok] : {std::pair<std::string, bool>{"auto", true},
                              {"srv-a", true},
                              {"srv-b", true},
                              {"srv-B", false},
                              {"proxy", false},
                              {"", false},
                              {"AUTO", false},
                              {"auto ", false},
                              {"srv-c", false}}) {
    req.selected = selected;
    EXPECT_EQ(code_of(validate_request(req)), ok ? "ok" : "unknown_selection") << selected;
  }
}

TEST(HostName, AcceptsOnlyTheHostNameAlphabet) {
  EXPECT_TRUE(is_host_name("a"));
  EXPECT_TRUE(is_host_name("0"));
  EXPECT_TRUE(is_host_name("A-.b"));
  EXPECT_FALSE(is_host_name("a/b"));
  EXPECT_FALSE(is_host_name(std::string_view("a\0b", 3)));
  EXPECT_FALSE(is_host_name("a\x80"));
}

}  // namespace
}  // namespace velk
