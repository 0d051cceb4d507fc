#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ipc/error_codes.h"
#include "ipc/protocol.h"

namespace velk {
namespace {

const std::string kRunningLine =
    R"({"result":"status","protocol":4,"version":"0.1.8","state":"running","wanted":true,)"
    R"("selected":"srv-1","active":"srv-1","error":null,"restarts":0,"kill_switch":"armed",)"
    R"("needs_request":false,"session":"mine"})";

Status running_status() {
  Status s;
  s.state = EngineState::running;
  s.wanted = true;
  s.selected = "srv-1";
  s.active = "srv-1";
  s.kill_switch = KillSwitch::armed;
  s.session = Session::mine;
  return s;
}

// A status line with one member taken out.
std::string without(const std::string& member, std::string line = kRunningLine) {
  std::size_t at = line.find("\"" + member + "\":");
  std::size_t end = line.find_first_of(",}", at);
  if (line[end] == ',') ++end;
  else if (line[at - 1] == ',') --at;
  line.erase(at, end - at);
  return line;
}

// kRunningLine with one member's value replaced.
std::string with(const std::string& member, const std::string& value) {
  std::string line = kRunningLine;
  std::size_t at = line.find("\"" + member + "\":") + member.size() + 3;
  std::size_t end = line.find_first_of(",}", at);
  return line.replace(at, end - at, value);
}

TEST(EncodeResponse, ExactBytes) {
  EXPECT_EQ(encode_response({running_status()}), kRunningLine);
  EXPECT_EQ(encode_response({Status{}}),
            R"({"result":"status","protocol":4,"version":"0.1.8","state":"stopped","wanted":false,)"
            R"("selected":null,"active":null,"error":null,"restarts":0,"kill_switch":"off",)"
            R"("needs_request":false,"session":"none"})");
  Status other;
  other.state = EngineState::stopping;
  other.error = "engine_exit";
  other.restarts = 4294967295u;
  other.needs_request = true;
  other.session = Session::other;
  EXPECT_EQ(encode_response({other}),
            R"({"result":"status","protocol":4,"version":"0.1.8","state":"stopping","wanted":false,)"
            R"("selected":null,"active":null,"error":"engine_exit","restarts":4294967295,)"
            R"("kill_switch":"off","needs_request":true,"session":"other"})");
  EXPECT_EQ(encode_response({Response::Delay{}}), R"({"result":"delay","ms":null})");
  EXPECT_EQ(encode_response({Response::Delay{0}}), R"({"result":"delay","ms":0})");
  EXPECT_EQ(encode_response({Response::Delay{4294967295u}}), R"({"result":"delay","ms":4294967295})");
  EXPECT_EQ(encode_response({Response::Error{std::string(err::not_running)}}),
            R"({"result":"error","code":"not_running"})");
}

TEST(EncodeResponse, StringsUseStandardEscaping) {
  EXPECT_EQ(encode_response({Response::Error{"q\"b\\s/\x01\n\xC3\xA9"}}),
            "{\"result\":\"error\",\"code\":\"q\\\"b\\\\s/\\u0001\\n\xC3\xA9\"}");
  // Bytes that are not UTF-8 cannot make the encoder fail.
  EXPECT_EQ(encode_response({Response::Error{"a\xFF"}}),
            "{\"result\":\"error\",\"code\":\"a\xEF\xBF\xBD\"}");
}

TEST(DecodeResponse, ReadsWhatTheHelperWrites) {
  const std::vector<Response> responses = {
      {running_status()},
      {Status{}},
      {Response::Delay{}},
      {Response::Delay{17}},
      {Response::Delay{4294967295u}},
      {Response::Error{"killswitch_failed"}},
  };
  for (const auto& response : responses) {
    std::string line = encode_response(response);
    SCOPED_TRACE(line);
    auto back = decode_response(line + "\r\n");
    ASSERT_TRUE(back.ok());
    EXPECT_EQ(back.value(), response);
  }
}

struct Decoded {
  std::string line;
  Response expected;
};

TEST(DecodeResponse, IsLenient) {
  Status no_version = running_status();
  no_version.version = "";
  Status no_optionals = running_status();
  no_optionals.selected.reset();
  no_optionals.active.reset();
  const std::vector<Decoded> cases = {
      // "result" anywhere, unknown members ignored.
      {R"({"code":"not_running","result":"error"})", {Response::Error{"not_running"}}},
      {R"({"result":"error","code":"x","detail":{"why":[1,2]}})", {Response::Error{"x"}}},
      {with("session", R"("mine","uptime":12.5)"), {running_status()}},
      {R"({"protocol":4,"version":"0.1.8","state":"running","wanted":true,"selected":"srv-1",)"
       R"("active":"srv-1","error":null,"restarts":0,"kill_switch":"armed","needs_request":false,)"
       R"("session":"mine","result":"status"})",
       {running_status()}},
      // Optional members absent.
      {without("version"), {no_version}},
      {without("selected", with("active", "null")), {no_optionals}},
      {without("error"), {running_status()}},
      {R"({"result":"delay"})", {Response::Delay{}}},
      {R"({"result":"delay","ms":-0})", {Response::Delay{0}}},
      // A repeated member keeps its last value.
      {R"({"result":"error","code":"a","code":"b"})", {Response::Error{"b"}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    auto r = decode_response(c.line);
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r.value(), c.expected);
  }
}

TEST(DecodeResponse, RejectsWhatIsNotAResponse) {
  std::vector<std::string> rejected = {
      // Envelope.
      "", "[]", "{}", R"({"code":"x"})", R"({"result":"ok"})", R"({"result":"Status"})",
      R"({"result":null})", R"({"result":1})", R"({"result":"error","code":"x"}x)",
      "\xEF\xBB\xBF{\"result\":\"delay\"}",
      // Error and delay members.
      R"({"result":"error"})", R"({"result":"error","code":null})", R"({"result":"error","code":5})",
      R"({"result":"delay","ms":4294967296})", R"({"result":"delay","ms":-1})",
      R"({"result":"delay","ms":1.5})", R"({"result":"delay","ms":1e2})",
      R"({"result":"delay","ms":"12"})", R"({"result":"delay","ms":18446744073709551616})",
      // Status: integer ranges, enumerations, types.
      with("protocol", "4294967296"), with("protocol", "-1"), with("protocol", "4.0"),
      with("restarts", "4294967296"), with("restarts", "-5"), with("restarts", "null"),
      with("state", R"("paused")"), with("state", R"("Running")"), with("state", "1"),
      with("kill_switch", R"("on")"), with("session", R"("yours")"), with("session", "null"),
      with("wanted", R"("true")"), with("needs_request", "1"), with("selected", "1"),
      with("error", "false"), with("version", "null"), with("version", "8"),
  };
  // Every required member of a status.
  for (const char* required :
       {"protocol", "state", "wanted", "restarts", "kill_switch", "needs_request", "session"}) {
    rejected.push_back(without(required));
  }
  for (const auto& line : rejected) {
    SCOPED_TRACE(line);
    auto r = decode_response(line);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error(), err::bad_request);
  }
}

}  // namespace
}  // namespace velk
