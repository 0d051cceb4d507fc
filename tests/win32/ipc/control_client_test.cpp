// The control client against an in-process pipe server on a test pipe name.

#include "ipc/control_client.h"

#include <gtest/gtest.h>

#include <future>
#include <memory>
#include <mutex>
#include <thread>

#include "pipe_test_util.h"

namespace velk::test {
namespace {

using namespace std::chrono_literals;

const std::string kStatusAnswer =
    R"({"result":"status","protocol":4,"version":"0.1.8","state":"stopped","wanted":false,"selected":null,)"
    R"("active":null,"error":null,"restarts":0,"kill_switch":"off","needs_request":false,"session":"none"})"
    "\n";

std::string read_request(ByteStream& s) {
  std::string line;
  char c;
  while (s.read(std::span<char>(&c, 1)) == 1) {
    line += c;
    if (c == '\n') break;
  }
  return line;
}

struct Seen {
  std::mutex mutex;
  std::vector<std::string> requests;
};

// Serves `name` with `reply` (request line -> answer bytes, written as they are).
std::shared_ptr<Seen> serve(const std::string& name, std::function<std::string(const std::string&)> reply) {
  auto seen = std::make_shared<Seen>();
  ServerHooks hooks{[] {}, [] {}, [] {},
                    [seen, reply](ByteStream& s, const CallerIdentity&) {
                      std::string request = read_request(s);
                      {
                        std::lock_guard lock(seen->mutex);
                        seen->requests.push_back(request);
                      }
                      std::string answer = reply(request);
                      if (!answer.empty()) s.write_all(answer);
                    }};
  std::thread([name, hooks] { run_pipe_server(name, hooks); }).detach();
  UniqueHandle probe = connect_client(name);  // wait until the server is up
  EXPECT_TRUE(probe);
  probe.reset();
  std::this_thread::sleep_for(50ms);
  std::lock_guard lock(seen->mutex);
  seen->requests.clear();  // forget the probe
  return seen;
}

ControlClient client_for(const std::string& name, Clock::duration deadline = 15s) {
  return ControlClient(system_helper_connector(), system_clock(), detached_thread_starter(), deadline, name);
}

TEST(ControlClientPipe, StatusFromARunningHelper) {
  std::string name = unique_pipe_name("cc-status");
  auto seen = serve(name, [](const std::string&) { return kStatusAnswer; });
  std::optional<Status> status = client_for(name).query_helper_status();
  ASSERT_TRUE(status);
  EXPECT_EQ(status->version, "0.1.8");
  std::lock_guard lock(seen->mutex);
  EXPECT_EQ(seen->requests, std::vector<std::string>{"{\"cmd\":\"status\"}\n"});
}

TEST(ControlClientPipe, AbsentPipeGivesNothingAtOnce) {
  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(client_for(unique_pipe_name("cc-absent")).call_helper(Request{Request::Status{}}));
  EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
}

TEST(ControlClientPipe, HelperThatNeverAnswers) {
  std::string name = unique_pipe_name("cc-hung");
  auto release = std::make_shared<std::promise<void>>();
  std::shared_future<void> released = release->get_future().share();
  auto seen = serve(name, [released](const std::string&) {
    released.wait_for(60s);
    return std::string();
  });
  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(client_for(name, 300ms).call_helper(Request{Request::Status{}}));
  auto took = std::chrono::steady_clock::now() - start;
  EXPECT_GE(took, 250ms);
  EXPECT_LT(took, 5s);
  release->set_value();  // the worker left behind gets its end of stream
}

TEST(ControlClientPipe, RefusalIsLogged) {
  std::string name = unique_pipe_name("cc-refuse");
  auto seen = serve(
      name, [](const std::string&) { return std::string(R"({"result":"error","code":"not_session_owner"})") + "\n"; });
  std::vector<std::string> log;
  EXPECT_FALSE(client_for(name).ask_helper_to_turn_off([&](std::string_view line) { log.emplace_back(line); }));
  EXPECT_EQ(log, std::vector<std::string>{"the helper answered: not_session_owner"});
  std::lock_guard lock(seen->mutex);
  EXPECT_EQ(seen->requests, std::vector<std::string>{"{\"cmd\":\"emergency_off\"}\n"});
}

TEST(ControlClientPipe, HelperClosingWithoutAnAnswer) {
  std::string name = unique_pipe_name("cc-close");
  auto seen = serve(name, [](const std::string&) { return std::string(); });
  EXPECT_FALSE(client_for(name).call_helper(Request{Request::Status{}}));
}

TEST(ControlClientPipe, OnlyTheServiceProcessIsBelieved) {
  std::string name = unique_pipe_name("cc-squat");
  auto seen = serve(name, [](const std::string&) { return kStatusAnswer; });
  auto client_trusting = [&](DWORD pid) {
    return ControlClient(system_helper_connector(), system_clock(), detached_thread_starter(), 15s, name,
                         served_by_helper_service([pid] { return std::optional<std::uint32_t>(pid); }));
  };
  // The server runs in this process: GetNamedPipeServerProcessId names it.
  EXPECT_TRUE(client_trusting(GetCurrentProcessId()).query_helper_status());
  EXPECT_FALSE(client_trusting(GetCurrentProcessId() + 4).query_helper_status());
  std::this_thread::sleep_for(100ms);
  std::lock_guard lock(seen->mutex);
  EXPECT_EQ(seen->requests, (std::vector<std::string>{"{\"cmd\":\"status\"}\n"}))
      << "the second connection closes without sending anything: nobody is served";
}

TEST(ControlClientPipe, NoServiceNoAnswer) {
  std::string name = unique_pipe_name("cc-noservice");
  auto seen = serve(name, [](const std::string&) { return kStatusAnswer; });
  ControlClient client(system_helper_connector(), system_clock(), detached_thread_starter(), 15s, name,
                       served_by_helper_service([] { return helper_service_pid(); }));
  // Whether or not a VelkVpnHelper service runs in this prefix, this process is not it.
  EXPECT_FALSE(client.query_helper_status());
}

}  // namespace
}  // namespace velk::test
