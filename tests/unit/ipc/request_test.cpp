#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ipc/error_codes.h"
#include "ipc/protocol.h"

namespace velk {
namespace {

// One route and one request in their JSON form, members in declaration order.
const std::string kRouteJson =
    R"({"tag":"srv-1","server":"203.0.113.7","port":443,)"
    R"("uuid":"6f1c2a9e-3b4d-4c5e-8f70-112233445566","flow":"xtls-rprx-vision",)"
    R"("server_name":"www.example.com","fingerprint":"chrome",)"
    R"("public_key":"Zm9vYmFyZm9vYmFyZm9vYmFyZm9vYmFyZm9vYmFyZm8","short_id":"0123abcd"})";
const std::string kRequestJson = R"({"routes":[)" + kRouteJson + R"(],"selected":"auto"})";

EngineRequest sample_request() {
  Route r;
  r.tag = "srv-1";
  r.server = "203.0.113.7";
  r.port = 443;
  r.uuid = "6f1c2a9e-3b4d-4c5e-8f70-112233445566";
  r.flow = "xtls-rprx-vision";
  r.server_name = "www.example.com";
  r.fingerprint = "chrome";
  r.public_key = "Zm9vYmFyZm9vYmFyZm9vYmFyZm9vYmFyZm9vYmFyZm8";
  r.short_id = "0123abcd";
  return EngineRequest{{r}, "auto"};
}

// Nests `value` inside `levels` arrays.
std::string nested_arrays(std::size_t levels, const std::string& value) {
  return std::string(levels, '[') + value + std::string(levels, ']');
}

struct Accepted {
  std::string line;
  Request expected;
};

TEST(DecodeRequest, AcceptsEveryCommandWithItsFields) {
  const EngineRequest req = sample_request();
  const std::vector<Accepted> cases = {
      {R"({"cmd":"status"})", {Request::Status{}}},
      {R"({"cmd":"start","request":)" + kRequestJson + "}", {Request::Start{req, true}}},
      {R"({"cmd":"start","request":)" + kRequestJson + R"(,"kill_switch":false})",
       {Request::Start{req, false}}},
      {R"({"kill_switch":true,"request":)" + kRequestJson + R"(,"cmd":"start"})",
       {Request::Start{req, true}}},
      {R"({"request":)" + kRequestJson + R"(,"cmd":"replace"})", {Request::Replace{req}}},
      {R"({"cmd":"select","tag":"srv-1"})", {Request::Select{"srv-1"}}},
      {R"({"tag":"auto","cmd":"test_route"})", {Request::TestRoute{"auto"}}},
      {R"({"cmd":"select","tag":""})", {Request::Select{""}}},  // validity of tags is not decoding
      {R"({"cmd":"select","tag":"caf\u00e9\n"})", {Request::Select{"caf\xC3\xA9\n"}}},
      {R"({"cmd":"stop"})", {Request::Stop{}}},
      {R"({"cmd":"emergency_off"})", {Request::EmergencyOff{}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    auto r = decode_request(c.line);
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r.value(), c.expected);
  }
}

TEST(DecodeRequest, CommandsWithoutFieldsIgnoreEveryOtherMember) {
  const std::vector<Accepted> cases = {
      {R"({"cmd":"stop","extra":1})", {Request::Stop{}}},
      {R"({"tag":"srv-1","request":null,"cmd":"status"})", {Request::Status{}}},
      {R"({"cmd":"emergency_off","x":{"y":[1,{"z":null}]}})", {Request::EmergencyOff{}}},
      // Repeated members other than "cmd", at any depth, are ignored as well.
      {R"({"cmd":"status","x":1,"x":"two"})", {Request::Status{}}},
      {R"({"cmd":"stop","x":{"a":1,"a":2}})", {Request::Stop{}}},
      // The command itself may be followed by a kill_switch of any type.
      {R"({"cmd":"stop","kill_switch":"yes"})", {Request::Stop{}}},
      {R"({"cmd":"status","x":1e-999,"y":"\ud83d\ude00","z":123456789012345678901234567890})", {Request::Status{}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    auto r = decode_request(c.line);
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r.value(), c.expected);
  }
}

TEST(DecodeRequest, WhiteSpaceAroundTheObjectIsOnlySpaceTabCrLf) {
  const std::vector<std::string> accepted = {
      "{\"cmd\":\"status\"}\n",
      "{\"cmd\":\"status\"}\r\n",
      "  \t{\"cmd\":\"status\"} \t \r\n",
      "\r\n{ \"cmd\" :\t\"status\" }\n",
  };
  for (const auto& line : accepted) {
    SCOPED_TRACE(line);
    auto r = decode_request(line);
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r.value(), Request{Request::Status{}});
  }
  const std::vector<std::string> rejected = {
      "{\"cmd\":\"status\"}x\n",
      "{\"cmd\":\"status\"}{\"cmd\":\"status\"}\n",
      "{\"cmd\":\"status\"}\n{\"cmd\":\"stop\"}\n",
      "\xEF\xBB\xBF{\"cmd\":\"status\"}\n",  // byte-order mark
      "{\"cmd\":\"status\"}\f\n",
      "\v{\"cmd\":\"status\"}\n",
      "{\"cmd\":\"status\"}\xC2\xA0\n",  // no-break space
      std::string("{\"cmd\":\"status\"}\0\n", 18),
      "{\"cmd\":\"status\"} // comment\n",
  };
  for (const auto& line : rejected) {
    SCOPED_TRACE(line);
    auto r = decode_request(line);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error(), err::bad_request);
  }
}

TEST(DecodeRequest, RejectsBadEnvelopes) {
  const std::string ok_start = R"({"cmd":"start","request":)" + kRequestJson;
  const std::vector<std::string> rejected = {
      // Not a command object at all.
      "", "\n", "{}", "[]", "null", R"("status")", R"([{"cmd":"status"}])", "{\"cmd\":\"status\"",
      // The command name: missing, wrong type, unknown, wrong case, repeated.
      R"({"tag":"srv-1"})", R"({"cmd":null})", R"({"cmd":1})", R"({"cmd":["status"]})",
      R"({"cmd":"Status"})", R"({"cmd":"STOP"})", R"({"cmd":"reboot"})", R"({"cmd":" status"})",
      R"({"cmd":"status","cmd":"status"})", R"({"cmd":"stop","x":1,"cmd":"start"})",
      R"({"cmd":"emergency_off","cmd":"emergency_off"})", R"({"cmd":"stop","x":"\ud800"})",
      // select and test_route.
      R"({"cmd":"select","tag":"srv-1","extra":1})", R"({"cmd":"select","tag":"a","tag":"b"})",
      R"({"cmd":"select"})", R"({"cmd":"select","tag":1})", R"({"cmd":"select","tag":null})",
      R"({"cmd":"test_route","tag":"srv-1","x":null})", R"({"cmd":"test_route","tag":["srv-1"]})",
      "{\"cmd\":\"select\",\"tag\":\"\xFF\"}",  // not UTF-8
      // start and replace.
      R"({"cmd":"start"})", R"({"cmd":"start","kill_switch":true})",
      R"({"cmd":"start","request":null})", R"({"cmd":"start","request":"routes"})",
      ok_start + R"(,"kill_switch":"false"})", ok_start + R"(,"kill_switch":0})",
      ok_start + R"(,"kill_switch":null})", ok_start + R"(,"kill_switch":true,"kill_switch":false})",
      ok_start + R"(,"extra":1})", ok_start + R"(,"request":)" + kRequestJson + "}",
      R"({"cmd":"replace"})", R"({"cmd":"replace","request":)" + kRequestJson + R"(,"kill_switch":true})",
      // A repeated member inside the route object.
      R"({"cmd":"replace","request":{"routes":[)" + kRouteJson.substr(0, kRouteJson.size() - 1) +
          R"(,"tag":"srv-2"}],"selected":"auto"}})",
  };
  for (const auto& line : rejected) {
    SCOPED_TRACE(line);
    auto r = decode_request(line);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error(), err::bad_request);
  }
}

TEST(DecodeRequest, NestingStopsAt128Levels) {
  // The command object is level 1, so 127 arrays inside it make 128 levels.
  EXPECT_TRUE(decode_request(R"({"cmd":"status","x":)" + nested_arrays(127, "1") + "}").ok());
  EXPECT_FALSE(decode_request(R"({"cmd":"status","x":)" + nested_arrays(128, "1") + "}").ok());
  // A very deep line is refused without exhausting anything.
  EXPECT_FALSE(decode_request(R"({"cmd":"status","x":)" + nested_arrays(100000, "") + "}").ok());
}

TEST(EncodeRequest, CmdFirstThenFieldsInOrder) {
  EXPECT_EQ(encode_request({Request::Status{}}), R"({"cmd":"status"})");
  EXPECT_EQ(encode_request({Request::Select{"srv-1"}}), R"({"cmd":"select","tag":"srv-1"})");
  EXPECT_EQ(encode_request({Request::TestRoute{"auto"}}), R"({"cmd":"test_route","tag":"auto"})");
  EXPECT_EQ(encode_request({Request::Stop{}}), R"({"cmd":"stop"})");
  EXPECT_EQ(encode_request({Request::EmergencyOff{}}), R"({"cmd":"emergency_off"})");
  // kill_switch is always written, also when it is the default.
  EXPECT_EQ(encode_request({Request::Start{sample_request(), true}}),
            R"({"cmd":"start","request":)" + kRequestJson + R"(,"kill_switch":true})");
  EXPECT_EQ(encode_request({Request::Replace{sample_request()}}),
            R"({"cmd":"replace","request":)" + kRequestJson + "}");
}

TEST(EncodeRequest, EveryCommandDecodesBackUnchanged) {
  EngineRequest two = sample_request();
  two.routes.push_back(two.routes[0]);
  two.routes[1].tag = "srv-2";
  two.routes[1].flow = "";
  two.routes[1].short_id = "";
  two.selected = "srv-2";
  const std::vector<Request> requests = {
      {Request::Status{}},        {Request::Start{two, false}}, {Request::Start{two, true}},
      {Request::Replace{two}},    {Request::Select{"a\"b\\c"}}, {Request::TestRoute{"srv-2"}},
      {Request::Stop{}},          {Request::EmergencyOff{}},
  };
  for (const auto& request : requests) {
    std::string line = encode_request(request);
    SCOPED_TRACE(line);
    EXPECT_EQ(line.find_first_of(" \n"), std::string::npos);
    auto back = decode_request(line + "\n");
    ASSERT_TRUE(back.ok());
    EXPECT_EQ(back.value(), request);
  }
}

}  // namespace
}  // namespace velk
