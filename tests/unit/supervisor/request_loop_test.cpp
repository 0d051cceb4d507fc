// The request loop over an in-memory stream: line bounds, bad lines, bursts,
// and the answers of the commands that need no engine.

#include "supervisor/request_loop.h"

#include <gtest/gtest.h>

#include "fake_engine_world.h"
#include "supervisor/supervisor.h"

namespace velk {
namespace {

using test::FakeEngineWorld;
using test::kOtherUser;
using test::kOwner;
using test::MemoryStream;

constexpr std::string_view kStatusLine = R"({"cmd":"status"})";

// `body` padded with spaces to `size` bytes, the line feed included.
std::string padded_line(std::string_view body, std::size_t size) {
  std::string line(body);
  line.append(size - body.size() - 1, ' ');
  line.push_back('\n');
  return line;
}

std::vector<std::string> lines_of(const std::string& output) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t end; (end = output.find('\n', start)) != std::string::npos; start = end + 1) {
    lines.push_back(output.substr(start, end - start));
  }
  EXPECT_EQ(start, output.size()) << "unterminated answer";
  return lines;
}

std::string error_line(std::string_view code) { return R"({"result":"error","code":")" + std::string(code) + "\"}"; }

struct RequestLoop : ::testing::Test {
  std::vector<std::string> serve(const std::string& input, const CallerIdentity& caller = kOwner,
                                 std::size_t chunk = 1 << 20) {
    MemoryStream stream(input, chunk);
    serve_connection(sup, stream, caller);
    consumed = stream.consumed();
    return lines_of(stream.output());
  }
  std::string status_line(const CallerIdentity& caller = kOwner) {
    return encode_response(Response{sup.status_for(caller)});
  }
  FakeEngineWorld world;
  Supervisor& sup = world.build();
  std::size_t consumed = 0;
};

TEST_F(RequestLoop, ALineOfExactlyTheBoundIsServed) {
  const std::string line = padded_line(kStatusLine, kMaxRequestLine);
  ASSERT_EQ(line.size(), 262144u);
  EXPECT_EQ(serve(line + std::string(kStatusLine) + "\n"), (std::vector{status_line(), status_line()}));
}

TEST_F(RequestLoop, OneByteMoreIsTooLargeAndEndsTheConnection) {
  const std::string line = padded_line(kStatusLine, kMaxRequestLine + 1);
  EXPECT_EQ(serve(line + std::string(kStatusLine) + "\n"), std::vector{error_line("too_large")});
  // Nothing after the oversized line was taken up.
  EXPECT_LE(consumed, kMaxRequestLine + 1 + kRequestReadBuffer);
}

TEST_F(RequestLoop, AnEndlessLineIsCutAtTheBound) {
  EXPECT_EQ(serve(std::string(3 * kMaxRequestLine, 'x'), kOwner, 4096), std::vector{error_line("too_large")});
  EXPECT_LT(consumed, kMaxRequestLine + 2 * 4096);
}

TEST_F(RequestLoop, ABadLineIsAnsweredAndTheNextOneServed) {
  const std::string input = "\n{\"cmd\":\"Status\"}\n{\"cmd\":\"status\"} x\n" + std::string(kStatusLine) + "\r\n";
  EXPECT_EQ(serve(input), (std::vector{error_line("bad_request"), error_line("bad_request"),
                                       error_line("bad_request"), status_line()}));
}

TEST_F(RequestLoop, ABurstIsAnsweredInOrderWhateverTheReadSizes) {
  const std::string input = std::string(kStatusLine) + "\n" + R"({"cmd":"select","tag":"auto"})" + "\n" +
                            R"({"cmd":"replace","request":{"routes":[],"selected":"auto"}})" + "\n" +
                            R"({"cmd":"stop"})" + "\n" + std::string(kStatusLine);  // the last line is unterminated
  const std::vector<std::string> expected{status_line(), error_line("not_running"), error_line("no_routes"),
                                          status_line(), status_line()};
  for (std::size_t chunk : {std::size_t{1}, std::size_t{7}, std::size_t{8192}}) {
    EXPECT_EQ(serve(input, kOwner, chunk), expected) << "chunk " << chunk;
  }
}

TEST_F(RequestLoop, ReplaceNeedsARequestOrAnArmedKillSwitch) {
  const std::string replace =
      R"({"cmd":"replace","request":{"routes":[{"tag":"srv-0","server":"10.0.0.1","port":443,)"
      R"("uuid":"123e4567-e89b-12d3-a456-426614174000","flow":"","server_name":"www.example.com",)"
      R"("fingerprint":"chrome","public_key":"abcdefghijklmnopqrstuvwxyzABCDEFGHIJ0123-_x","short_id":""}],)"
      R"("selected":"auto"}})"
      "\n";
  EXPECT_EQ(serve(replace), std::vector{error_line("not_running")});
  // Armed without a request (a restored kill switch): accepted and moved to the new pins.
  ASSERT_TRUE(sup.apply_request(kOwner, test::engine_request(1), true));
  ASSERT_TRUE(sup.request_stop(kOwner));  // nobody removes it: no engine thread runs
  ASSERT_TRUE(sup.store().armed_in_memory());
  const auto lines = serve(replace);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find(R"("result":"status")"), std::string::npos);
  EXPECT_TRUE(sup.has_desired_request());
}

TEST_F(RequestLoop, StartAndStopAnswerTheCallersStatus) {
  const std::string start =
      R"({"cmd":"start","kill_switch":false,"request":{"routes":[{"tag":"srv-0","server":"10.0.0.1","port":443,)"
      R"("uuid":"123e4567-e89b-12d3-a456-426614174000","flow":"","server_name":"www.example.com",)"
      R"("fingerprint":"chrome","public_key":"abcdefghijklmnopqrstuvwxyzABCDEFGHIJ0123-_x","short_id":""}],)"
      R"("selected":"srv-0"}})"
      "\n";
  const auto started = serve(start);
  ASSERT_EQ(started.size(), 1u);
  EXPECT_NE(started[0].find(R"("selected":"srv-0")"), std::string::npos);
  EXPECT_NE(started[0].find(R"("session":"mine")"), std::string::npos);
  EXPECT_EQ(serve(R"({"cmd":"stop"})" "\n", kOtherUser), std::vector{error_line("not_session_owner")});
  EXPECT_EQ(serve(R"({"cmd":"emergency_off"})" "\n", kOtherUser), std::vector{error_line("not_session_owner")});
  EXPECT_TRUE(sup.has_desired_request());
  const auto stopped = serve(R"({"cmd":"stop","extra":1})" "\n");
  EXPECT_EQ(stopped, std::vector{status_line()});
  EXPECT_NE(stopped[0].find(R"("session":"none")"), std::string::npos);
  EXPECT_FALSE(sup.has_desired_request());
}

TEST_F(RequestLoop, AFailedWriteEndsTheConnection) {
  MemoryStream stream(std::string(kStatusLine) + "\n" + std::string(kStatusLine) + "\n", 1);
  stream.fail_writes();
  serve_connection(sup, stream, kOwner);
  EXPECT_EQ(stream.consumed(), kStatusLine.size() + 1);
}

}  // namespace
}  // namespace velk
