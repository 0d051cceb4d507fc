// The control client against a scripted helper: what it sends, which answers
// count, the log line of a refusal, and the version wait on a fake clock.

#include <gtest/gtest.h>

#include <future>
#include <mutex>
#include <thread>
#include <vector>

#include "ipc/control_client.h"

namespace velk {
namespace {

using namespace std::chrono_literals;

class FakeClock final : public Clock {
 public:
  time_point now() override {
    std::lock_guard lock(mutex_);
    return now_;
  }
  void sleep_for(duration d) override {
    std::lock_guard lock(mutex_);
    now_ += d;
    ++sleeps;
  }
  Clock::duration elapsed() {
    std::lock_guard lock(mutex_);
    return now_ - time_point{};
  }
  int sleeps = 0;

 private:
  std::mutex mutex_;
  time_point now_{};
};

// A helper that answers each request line with what `answer` says; absent:
// the pipe cannot be opened.
class ScriptedHelper final : public HelperConnector {
 public:
  using Answer = std::function<std::optional<std::string>(const std::string& request)>;
  explicit ScriptedHelper(Answer answer) : answer_(std::move(answer)) {}

  std::unique_ptr<HelperConnection> open(std::string_view pipe_path) override {
    std::lock_guard lock(mutex_);
    paths.emplace_back(pipe_path);
    if (!answer_("")) return nullptr;  // the empty request asks "is anyone there?"
    return std::make_unique<Connection>(*this);
  }

  std::vector<std::string> requests() {
    std::lock_guard lock(mutex_);
    return requests_;
  }
  std::vector<std::string> paths;
  std::optional<std::uint32_t> server;  // the serving process's id

 private:
  class Connection final : public HelperConnection {
   public:
    explicit Connection(ScriptedHelper& helper) : helper_(helper) {}
    bool write_all(std::string_view bytes) override {
      written_.append(bytes);
      return true;
    }
    std::optional<std::uint32_t> server_pid() override { return helper_.server; }
    std::optional<std::size_t> read(std::span<char> buffer) override {
      if (!answered_) {
        answered_ = true;
        {
          std::lock_guard lock(helper_.mutex_);
          helper_.requests_.push_back(written_);
        }
        pending_ = helper_.answer_(written_).value_or("");
      }
      std::size_t n = std::min(pending_.size(), buffer.size());
      std::copy_n(pending_.data(), n, buffer.data());
      pending_.erase(0, n);
      return n;
    }

   private:
    ScriptedHelper& helper_;
    std::string written_;
    std::string pending_;
    bool answered_ = false;
  };

  Answer answer_;
  std::mutex mutex_;
  std::vector<std::string> requests_;
};

struct JoiningStarter {
  std::mutex mutex;
  std::vector<std::thread> threads;
  ThreadStarter starter() {
    return [this](std::function<void()> body) {
      std::lock_guard lock(mutex);
      threads.emplace_back(std::move(body));
      return true;
    };
  }
  ~JoiningStarter() {
    for (auto& t : threads) t.join();
  }
};

const std::string kStatusAnswer =
    R"({"result":"status","protocol":4,"version":"0.1.8","state":"running","wanted":true,"selected":"srv-1",)"
    R"("active":"srv-1","error":null,"restarts":0,"kill_switch":"armed","needs_request":false,"session":"mine"})"
    "\n";

struct ControlClientTest : ::testing::Test {
  FakeClock clock;
  JoiningStarter threads;  // joins the workers, also those left behind, when the test ends
  std::shared_ptr<ScriptedHelper> helper;
  std::vector<std::string> log;
  LogSink sink = [this](std::string_view line) { log.emplace_back(line); };

  ControlClient client_answering(ScriptedHelper::Answer answer) {
    helper = std::make_shared<ScriptedHelper>(std::move(answer));
    return ControlClient(helper, clock, threads.starter(), 10s, "\\\\.\\pipe\\test");
  }
  ControlClient client_with_answer(std::string line) {
    return client_answering([line](const std::string&) { return std::optional<std::string>(line); });
  }
};

TEST_F(ControlClientTest, StatusRequestAndAnswer) {
  ControlClient client = client_with_answer(kStatusAnswer);
  std::optional<Status> status = client.query_helper_status();
  ASSERT_TRUE(status);
  EXPECT_EQ(status->version, "0.1.8");
  EXPECT_EQ(status->kill_switch, KillSwitch::armed);
  EXPECT_EQ(helper->requests(), std::vector<std::string>{"{\"cmd\":\"status\"}\n"});
  EXPECT_EQ(helper->paths, std::vector<std::string>{"\\\\.\\pipe\\test"});
}

TEST_F(ControlClientTest, OnlyAStatusAnswerIsAStatus) {
  EXPECT_FALSE(client_with_answer("{\"result\":\"error\",\"code\":\"not_running\"}\n").query_helper_status());
  EXPECT_FALSE(client_with_answer("{\"result\":\"delay\",\"ms\":12}\n").query_helper_status());
  EXPECT_FALSE(client_with_answer("").query_helper_status()) << "closed without answering";
  EXPECT_FALSE(client_with_answer("{\"result\":\"status\"}\n").query_helper_status()) << "required members missing";
  EXPECT_FALSE(client_with_answer(kStatusAnswer.substr(0, kStatusAnswer.size() - 1) + "x\n").query_helper_status())
      << "something after the object";
  EXPECT_FALSE(client_answering([](const std::string&) { return std::nullopt; }).query_helper_status())
      << "no pipe";
}

TEST_F(ControlClientTest, LenientStatusAnswers) {
  std::string without_version = kStatusAnswer;
  without_version.erase(without_version.find("\"version\":\"0.1.8\","), 18);
  std::optional<Status> status = client_with_answer(without_version).query_helper_status();
  ASSERT_TRUE(status);
  EXPECT_EQ(status->version, "");

  std::string with_extra = kStatusAnswer;
  with_extra.insert(1, "\"later\":[1,2],");
  EXPECT_TRUE(client_with_answer(with_extra).query_helper_status());
  EXPECT_TRUE(client_with_answer(kStatusAnswer.substr(0, kStatusAnswer.size() - 1)).query_helper_status())
      << "an answer ended by the end of the stream";
}

TEST_F(ControlClientTest, TurnOffAnsweredWithAStatus) {
  ControlClient client = client_with_answer(kStatusAnswer);
  EXPECT_TRUE(client.ask_helper_to_turn_off(sink));
  EXPECT_TRUE(log.empty());
  EXPECT_EQ(helper->requests(), std::vector<std::string>{"{\"cmd\":\"emergency_off\"}\n"});
}

TEST_F(ControlClientTest, TurnOffRefusedIsLogged) {
  ControlClient client = client_with_answer("{\"result\":\"error\",\"code\":\"not_session_owner\"}\n");
  EXPECT_FALSE(client.ask_helper_to_turn_off(sink));
  EXPECT_EQ(log, std::vector<std::string>{"the helper answered: not_session_owner"});
}

TEST_F(ControlClientTest, TurnOffWithoutAUsableAnswerLogsNothing) {
  EXPECT_FALSE(client_with_answer("{\"result\":\"delay\",\"ms\":null}\n").ask_helper_to_turn_off(sink));
  EXPECT_FALSE(client_with_answer("garbage\n").ask_helper_to_turn_off(sink));
  EXPECT_FALSE(client_answering([](const std::string&) { return std::nullopt; }).ask_helper_to_turn_off(sink));
  EXPECT_TRUE(log.empty());
}

TEST_F(ControlClientTest, HelperThatNeverAnswersGivesNothingAtTheDeadline) {
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  auto hung = std::make_shared<ScriptedHelper>([released](const std::string& request) -> std::optional<std::string> {
    if (!request.empty()) released.wait();  // accepts the connection, then never answers
    return kStatusAnswer;
  });
  ControlClient client(hung, clock, threads.starter(), 50ms);
  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(client.call_helper(Request{Request::Status{}}));
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
  release.set_value();  // the worker left behind finishes; its answer goes nowhere
}

TEST_F(ControlClientTest, VersionOfAHelperThatAnswersAtOnce) {
  ControlClient client = client_with_answer(kStatusAnswer);
  EXPECT_EQ(client.wait_for_helper_version(), "0.1.8");
  EXPECT_EQ(clock.sleeps, 0);
}

TEST_F(ControlClientTest, VersionOfAHelperThatComesUpAfterThreeSeconds) {
  ControlClient client = client_answering([this](const std::string&) -> std::optional<std::string> {
    if (clock.elapsed() < 3s) return std::nullopt;
    return kStatusAnswer;
  });
  EXPECT_EQ(client.wait_for_helper_version(), "0.1.8");
  EXPECT_EQ(clock.elapsed(), 3s) << "found by the first poll after it came up";
  EXPECT_EQ(clock.sleeps, 12);
}

TEST_F(ControlClientTest, NoHelperWithin20Seconds) {
  ControlClient client = client_answering([](const std::string&) { return std::nullopt; });
  EXPECT_EQ(client.wait_for_helper_version(), std::nullopt);
  EXPECT_EQ(clock.elapsed(), 20s);
  EXPECT_EQ(helper->paths.size(), 80u) << "polls at 0, 0.25, ... 19.75 s";
}

TEST_F(ControlClientTest, ErrorAnswersDoNotEndTheVersionWait) {
  int calls = 0;
  ControlClient client = client_answering([&calls](const std::string& request) -> std::optional<std::string> {
    if (request.empty()) return "";
    return ++calls < 3 ? "{\"result\":\"error\",\"code\":\"bad_request\"}\n" : kStatusAnswer;
  });
  EXPECT_EQ(client.wait_for_helper_version(), "0.1.8");
  EXPECT_EQ(clock.sleeps, 2);
}

TEST_F(ControlClientTest, OnlyTheServiceProcessIsBelieved) {
  struct Case {
    std::optional<std::uint32_t> server, service;
    bool believed;
  };
  const Case cases[] = {{7, 7, true}, {7, 8, false}, {7, std::nullopt, false}, {std::nullopt, 7, false}};
  for (const Case& c : cases) {
    auto squatter = std::make_shared<ScriptedHelper>([](const std::string&) { return kStatusAnswer; });
    squatter->server = c.server;
    ControlClient client(squatter, clock, threads.starter(), 10s, "\\\\.\\pipe\\test", served_by_helper_service([&c] {
                           return c.service;
                         }));
    EXPECT_EQ(client.query_helper_status().has_value(), c.believed);
    // Nothing is sent to a server that is not the service.
    EXPECT_EQ(squatter->requests().size(), c.believed ? 1u : 0u);
  }
}

}  // namespace
}  // namespace velk
