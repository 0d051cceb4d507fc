#include "engine/route_json.h"

#include <gtest/gtest.h>

#include <string>

#include "ipc/error_codes.h"
#include "sample_route.h"

namespace velk {
namespace {

using nlohmann::json;
using test::sample_route;

constexpr const char* route_keys[] = {"tag",         "server",      "port",       "uuid",    "flow",
                                      "server_name", "fingerprint", "public_key", "short_id"};

json valid_json() {
  return json::parse(R"({"routes":[{"tag":"srv-a","server":"10.0.0.1","port":443,
      "uuid":"123e4567-e89b-12d3-a456-426614174000","flow":"","server_name":"www.example.com",
      "fingerprint":"chrome","public_key":"abcdefghijklmnopqrstuvwxyzABCDEFGHIJ0123-_x","short_id":"0123abcd"}],
      "selected":"auto"})");
}

std::string decode_code(const json& v, std::string* why = nullptr) {
  auto r = decode_engine_request(v, why);
  return r ? "ok" : std::string(r.error());
}

TEST(DecodeEngineRequest, ValidObject) {
  auto r = decode_engine_request(valid_json());
  ASSERT_TRUE(r);
  EXPECT_EQ(*r, (EngineRequest{{sample_route()}, "auto"}));
}

TEST(DecodeEngineRequest, EmptyRouteListIsLeftToValidation) {
  auto r = decode_engine_request(json::parse(R"({"routes":[],"selected":""})"));
  ASSERT_TRUE(r);
  EXPECT_TRUE(r->routes.empty());
}

TEST(DecodeEngineRequest, EveryKeyIsRequired) {
  for (const char* key : route_keys) {
    json v = valid_json();
    v["routes"][0].erase(key);
    EXPECT_EQ(decode_code(v), "bad_request") << key;
  }
  for (const char* key : {"routes", "selected"}) {
    json v = valid_json();
    v.erase(key);
    std::string why;
    EXPECT_EQ(decode_code(v, &why), "bad_request") << key;
    EXPECT_NE(why.find(key), std::string::npos) << why;
  }
}

TEST(DecodeEngineRequest, UnknownKeysAreNamedWithTheExpectedOnes) {
  json v = valid_json();
  v["routes"][0]["password"] = "x";
  std::string why;
  EXPECT_EQ(decode_code(v, &why), "bad_request");
  EXPECT_NE(why.find("\"password\""), std::string::npos) << why;
  EXPECT_NE(why.find("tag, server, port, uuid, flow, server_name, fingerprint, public_key, short_id"),
            std::string::npos)
      << why;

  json top = valid_json();
  top["kill_switch"] = true;
  EXPECT_EQ(decode_code(top, &why), "bad_request");
  EXPECT_NE(why.find("\"kill_switch\""), std::string::npos) << why;
  EXPECT_NE(why.find("routes, selected"), std::string::npos) << why;

  json cased = valid_json();
  cased["routes"][0]["Tag"] = cased["routes"][0]["tag"];
  cased["routes"][0].erase("tag");
  EXPECT_EQ(decode_code(cased), "bad_request");
}

TEST(DecodeEngineRequest, TextFieldsMustBeStrings) {
  for (const char* key : route_keys) {
    if (std::string_view(key) == "port") continue;
    for (json wrong : {json(1), json(nullptr), json(true), json::array({"x"}), json::object()}) {
      json v = valid_json();
      v["routes"][0][key] = wrong;
      EXPECT_EQ(decode_code(v), "bad_request") << key << " = " << wrong.dump();
    }
  }
  for (json wrong : {json(1), json(nullptr), json::array()}) {
    json v = valid_json();
    v["selected"] = wrong;
    EXPECT_EQ(decode_code(v), "bad_request") << wrong.dump();
  }
}

TEST(DecodeEngineRequest, PortIsAnIntegerFrom0To65535) {
  struct Case {
    const char* text;
    int port;  // -1: rejected
  };
  for (const auto& c : {Case{"0", 0}, Case{"1", 1}, Case{"65535", 65535}, Case{"-0", 0}, Case{"65536", -1},
                        Case{"-1", -1}, Case{"1.5", -1}, Case{"1.0", -1}, Case{"443.0", -1}, Case{"1e2", -1},
                        Case{"4.43E2", -1}, Case{"18446744073709551616", -1}, Case{"-9223372036854775809", -1},
                        Case{"4294967739", -1}, Case{"\"443\"", -1}, Case{"true", -1}, Case{"null", -1}}) {
    json v = valid_json();
    v["routes"][0]["port"] = json::parse(c.text);
    auto r = decode_engine_request(v);
    if (c.port < 0) {
      EXPECT_FALSE(r) << c.text;
    } else {
      ASSERT_TRUE(r) << c.text;
      EXPECT_EQ(r->routes[0].port, c.port) << c.text;
    }
  }
}

TEST(DecodeEngineRequest, WrongContainerTypes) {
  EXPECT_EQ(decode_code(json::array()), "bad_request");
  EXPECT_EQ(decode_code(json("routes")), "bad_request");
  EXPECT_EQ(decode_code(json(nullptr)), "bad_request");
  json v = valid_json();
  v["routes"] = v["routes"][0];  // an object, not an array
  EXPECT_EQ(decode_code(v), "bad_request");
  json w = valid_json();
  w["routes"].push_back("srv-b");
  EXPECT_EQ(decode_code(w), "bad_request");
  json n = valid_json();
  n["routes"].push_back(json::array());
  EXPECT_EQ(decode_code(n), "bad_request");
}

TEST(EncodeEngineRequest, DeclarationOrderAndRoundTrip) {
  Route vision = sample_route("srv-b");
  vision.flow = "xtls-rprx-vision";
  vision.port = 65535;
  const EngineRequest req{{vision, sample_route("srv-a")}, "srv-a"};
  const std::string text = encode_engine_request(req).dump();
  EXPECT_EQ(text,
            R"({"routes":[{"tag":"srv-b","server":"10.0.0.1","port":65535,"uuid":"123e4567-e89b-12d3-a456-426614174000",)"
            R"("flow":"xtls-rprx-vision","server_name":"www.example.com","fingerprint":"chrome",)"
            R"("public_key":"abcdefghijklmnopqrstuvwxyzABCDEFGHIJ0123-_x","short_id":"0123abcd"},)"
            R"({"tag":"srv-a","server":"10.0.0.1","port":443,"uuid":"123e4567-e89b-12d3-a456-426614174000",)"
            R"("flow":"","server_name":"www.example.com","fingerprint":"chrome",)"
            R"("public_key":"abcdefghijklmnopqrstuvwxyzABCDEFGHIJ0123-_x","short_id":"0123abcd"}],"selected":"srv-a"})");

  auto sorted = decode_engine_request(json::parse(text));
  ASSERT_TRUE(sorted);
  EXPECT_EQ(*sorted, req);
  auto ordered = decode_engine_request(nlohmann::ordered_json::parse(text));
  ASSERT_TRUE(ordered);
  EXPECT_EQ(*ordered, req);
}

TEST(DecodeEngineRequest, OrderedValuesFollowTheSameRules) {
  auto v = nlohmann::ordered_json::parse(R"({"selected":"auto","routes":[{"tag":"x"}]})");
  EXPECT_FALSE(decode_engine_request(v));
  auto extra = nlohmann::ordered_json::parse(R"({"selected":"auto","routes":[],"x":1})");
  EXPECT_FALSE(decode_engine_request(extra));
  auto good = nlohmann::ordered_json::parse(R"({"selected":"auto","routes":[]})");
  EXPECT_TRUE(decode_engine_request(good));
}

}  // namespace
}  // namespace velk
