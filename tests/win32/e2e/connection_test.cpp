// The pipe as clients meet it: the bound on a request line, and clients
// served side by side while one of them waits in emergency off.

#include <gtest/gtest.h>

#include <future>
#include <thread>

#include "e2e_fixture.h"
#include "ipc/pipe_server.h"
#include "process_runner.h"

namespace velk::test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using fixture::PipeLineClient;

constexpr std::size_t kLineLimit = 262144;  // line feed included

// {"cmd":"status"} padded with spaces to `size` bytes, line feed included.
std::string padded_status(std::size_t size) {
  std::string line = "{\"cmd\":\"status\"}";
  line.resize(size - 1, ' ');
  return line + "\n";
}

TEST_F(HelperE2e, LineOverTheLimitIsRefusedAndTheConnectionCloses) {
  ASSERT_NO_FATAL_FAILURE(start_service());
  std::optional<PipeLineClient> client = helper().connect();
  ASSERT_TRUE(client);

  // Exactly at the limit: served, and the connection stays.
  ASSERT_TRUE(client->send(padded_status(kLineLimit), 10s));
  std::string answer;
  ASSERT_EQ(client->read_line(answer, 10s), PipeLineClient::Read::line);
  EXPECT_TRUE(status_of(*decode_response(answer))) << answer;

  // One byte more.
  client->send(padded_status(kLineLimit + 1), 10s);  // the helper may stop reading before the end
  ASSERT_EQ(client->read_line(answer, 10s), PipeLineClient::Read::line);
  EXPECT_EQ(answer, "{\"result\":\"error\",\"code\":\"too_large\"}");
  EXPECT_TRUE(client->closed_within(5s)) << "the connection stayed open";

  // The helper itself is unharmed.
  EXPECT_TRUE(helper().status());
}

// A client still blocked writing its oversized line never reads the answer:
// the helper waits for it a bounded time, then lets it go.
TEST_F(HelperE2e, OversizedWriterThatNeverReadsIsLetGo) {
  ASSERT_NO_FATAL_FAILURE(start_service());
  std::optional<PipeLineClient> client = helper().connect();
  ASSERT_TRUE(client);
  const Clock::time_point sent = Clock::now();
  EXPECT_FALSE(client->send(std::string(4 * kLineLimit, 'x'), 60s));  // one write, never finished
  EXPECT_LT(Clock::now() - sent, 30s) << "the helper held the connection until the client gave up";
  EXPECT_TRUE(client->closed_within(5s));
  EXPECT_TRUE(helper().status());
}

// All connections of this account (Wine runs every process as one user) up to
// the bound: one more is closed at once, the kept ones are still served.
TEST_F(HelperE2e, CallerAtItsConnectionBoundIsClosedAtOnceWhileKeptConnectionsAnswer) {
  ASSERT_NO_FATAL_FAILURE(start_service());
  std::vector<PipeLineClient> kept;
  std::string answer;
  for (std::size_t i = 0; i < kMaxConnectionsPerCaller; ++i) {
    std::optional<PipeLineClient> c = helper().connect();
    ASSERT_TRUE(c) << i;
    // Answered: the connection is admitted and counted.
    ASSERT_TRUE(c->send("{\"cmd\":\"status\"}\n", 5s)) << i;
    ASSERT_EQ(c->read_line(answer, 10s), PipeLineClient::Read::line) << i;
    kept.push_back(std::move(*c));
  }
  std::optional<PipeLineClient> over = helper().connect();
  ASSERT_TRUE(over);
  EXPECT_TRUE(over->closed_within(5s)) << "a connection over the bound was served";

  for (std::size_t i : {std::size_t{0}, kept.size() - 1}) {
    ASSERT_TRUE(kept[i].send("{\"cmd\":\"status\"}\n", 5s));
    ASSERT_EQ(kept[i].read_line(answer, 10s), PipeLineClient::Read::line);
    EXPECT_TRUE(status_of(*decode_response(answer))) << answer;
  }
  kept.pop_back();  // one slot free again
  EXPECT_TRUE(helper().wait_status([](const Status&) { return true; }, 10s));
}

TEST_F(HelperE2e, SecondClientIsServedWhileTheFirstWaitsInEmergencyOff) {
  ASSERT_NO_FATAL_FAILURE(start_running_session());
  // Every filter deletion fails from now on: the engine thread cannot take the
  // kill switch down, so emergency off waits its full round before it tries itself.
  ProcessResult armed = standin_tool({L"fail", L"FwpmFilterDeleteById0", L"1", L"31", L"0"});
  ASSERT_EQ(armed.exit_code, 0u) << armed.err;

  std::optional<PipeLineClient> first = helper().connect();
  ASSERT_TRUE(first);
  const Clock::time_point sent = Clock::now();
  ASSERT_TRUE(first->send("{\"cmd\":\"emergency_off\"}\n", 5s));
  std::future<std::pair<PipeLineClient::Read, std::string>> first_answer = std::async(std::launch::async, [&] {
    std::string line;
    PipeLineClient::Read r = first->read_line(line, 30s);
    return std::make_pair(r, line);
  });

  // The stop has been taken: the engine goes, the kill switch stays.
  std::optional<Status> s = helper().wait_status(
      [](const Status& st) { return !st.wanted || st.error == "killswitch_remove_failed"; }, 6s);
  ASSERT_TRUE(s);
  EXPECT_EQ(s->error, "killswitch_remove_failed");
  EXPECT_EQ(s->kill_switch, KillSwitch::armed);
  EXPECT_EQ(first_answer.wait_for(0s), std::future_status::timeout) << "emergency off did not wait";

  // A second client is answered at once meanwhile.
  const Clock::time_point asked = Clock::now();
  std::optional<Status> second = helper().status();
  const auto second_took = Clock::now() - asked;
  ASSERT_TRUE(second);
  EXPECT_EQ(second->kill_switch, KillSwitch::armed);
  EXPECT_LT(second_took, 3s);
  EXPECT_EQ(first_answer.wait_for(0s), std::future_status::timeout) << "the second answer came only after the first";

  // After about 8 s the first client's own removal fails as well, and it is told so.
  auto [read, line] = first_answer.get();
  const auto first_took = Clock::now() - sent;
  ASSERT_EQ(read, PipeLineClient::Read::line);
  EXPECT_EQ(line, "{\"result\":\"error\",\"code\":\"killswitch_failed\"}");
  EXPECT_GE(first_took, 7s);
  EXPECT_TRUE(filters().every_layer_blocked()) << "a failed removal must leave the block whole";

  // With the filtering engine working again, --recover takes it all away.
  ASSERT_EQ(standin_tool({L"clear-failures"}).exit_code, 0u);
  ProcessResult r = run_helper({L"--recover", L"--state-dir", helper().state_dir().wstring()});
  EXPECT_EQ(r.exit_code, 0u) << r.err;
  s = helper().wait_status([](const Status& st) { return st.kill_switch == KillSwitch::off; }, 5s);
  ASSERT_TRUE(s);
  EXPECT_EQ(s->kill_switch, KillSwitch::off);
  EXPECT_EQ(filters().filters, 0u);
}

}  // namespace
}  // namespace velk::test
