// The control client's transport: the bounded answer line, the exchange, and
// the deadline with a worker left behind.

#include <gtest/gtest.h>

#include <atomic>
#include <deque>
#include <future>
#include <thread>
#include <vector>

#include "ipc/control_client_io.h"

namespace velk {
namespace {

using namespace std::chrono_literals;

// Hands out scripted chunks; then the end of the stream (or endless 'x' bytes).
class ScriptedConnection final : public HelperConnection {
 public:
  std::deque<std::optional<std::string>> chunks;  // absent: that read fails
  bool endless = false;
  bool write_works = true;
  std::string* sink = nullptr;  // where written bytes go
  std::vector<std::size_t> asked;

  bool write_all(std::string_view bytes) override {
    if (!write_works) return false;
    if (sink) sink->append(bytes);
    return true;
  }
  std::optional<std::size_t> read(std::span<char> buffer) override {
    asked.push_back(buffer.size());
    if (endless) {
      std::fill(buffer.begin(), buffer.end(), 'x');
      return buffer.size();
    }
    if (chunks.empty()) return 0;
    std::optional<std::string> chunk = chunks.front();
    chunks.pop_front();
    if (!chunk) return std::nullopt;
    std::size_t n = std::min(chunk->size(), buffer.size());
    std::copy_n(chunk->data(), n, buffer.data());
    if (n < chunk->size()) chunks.push_front(chunk->substr(n));
    return n;
  }
};

TEST(AnswerLine, StopsAtTheFirstLineFeed) {
  ScriptedConnection c;
  c.chunks = {std::string("{\"result\":"), std::string("\"error\"}\n{\"next\":1}\n")};
  EXPECT_EQ(read_answer_line(c), "{\"result\":\"error\"}\n");
  EXPECT_EQ(c.asked.size(), 2u);
}

TEST(AnswerLine, EndOfStreamGivesWhatCameBefore) {
  ScriptedConnection c;
  c.chunks = {std::string("{\"a\":1}")};
  EXPECT_EQ(read_answer_line(c), "{\"a\":1}");
  ScriptedConnection empty;
  EXPECT_EQ(read_answer_line(empty), "");
}

TEST(AnswerLine, ReadFailureGivesNothing) {
  ScriptedConnection c;
  c.chunks = {std::string("{\"a\":"), std::nullopt};
  EXPECT_EQ(read_answer_line(c), std::nullopt);
}

TEST(AnswerLine, BoundedTo262144BytesIn8192ByteReads) {
  ScriptedConnection c;
  c.endless = true;
  std::optional<std::string> line = read_answer_line(c);
  ASSERT_TRUE(line);
  EXPECT_EQ(line->size(), 262144u);
  EXPECT_EQ(c.asked.size(), 32u);
  for (std::size_t n : c.asked) EXPECT_EQ(n, 8192u);
}

TEST(AnswerLine, LineFeedAsTheLastAllowedByte) {
  ScriptedConnection c;
  c.chunks = {std::string(262143, 'y') + "\n" + "after"};
  std::optional<std::string> line = read_answer_line(c);
  ASSERT_TRUE(line);
  EXPECT_EQ(line->size(), 262144u);
  EXPECT_EQ(line->back(), '\n');
}

class ScriptedConnector final : public HelperConnector {
 public:
  std::unique_ptr<ScriptedConnection> next;
  std::vector<std::string> opened;
  std::unique_ptr<HelperConnection> open(std::string_view pipe_path) override {
    opened.emplace_back(pipe_path);
    return std::move(next);
  }
};

TEST(Exchange, WritesTheRequestAndALineFeed) {
  ScriptedConnector connector;
  std::string written;
  connector.next = std::make_unique<ScriptedConnection>();
  connector.next->sink = &written;  // the exchange closes (destroys) the connection
  connector.next->chunks = {std::string("{\"result\":\"delay\",\"ms\":null}\n")};
  std::optional<std::string> answer = exchange_line(connector, "\\\\.\\pipe\\x", "{\"cmd\":\"status\"}");
  EXPECT_EQ(connector.opened, std::vector<std::string>{"\\\\.\\pipe\\x"});
  EXPECT_EQ(written, "{\"cmd\":\"status\"}\n");
  EXPECT_EQ(answer, "{\"result\":\"delay\",\"ms\":null}\n");
}

TEST(Exchange, NoPipeNoAnswer) {
  ScriptedConnector connector;  // nothing to open
  EXPECT_EQ(exchange_line(connector, "p", "{}"), std::nullopt);
  EXPECT_EQ(connector.opened.size(), 1u);
}

TEST(Exchange, WriteFailureNoAnswer) {
  ScriptedConnector connector;
  connector.next = std::make_unique<ScriptedConnection>();
  connector.next->write_works = false;
  connector.next->chunks = {std::string("{}\n")};
  EXPECT_EQ(exchange_line(connector, "p", "{}"), std::nullopt);
}

// Threads started by the code under test, joined when the test ends.
struct JoiningStarter {
  std::vector<std::thread> threads;
  ThreadStarter starter() {
    return [this](std::function<void()> body) {
      threads.emplace_back(std::move(body));
      return true;
    };
  }
  ~JoiningStarter() {
    for (auto& t : threads) t.join();
  }
};

TEST(Deadline, ResultInTime) {
  JoiningStarter threads;
  std::optional<int> r = run_with_deadline<int>([] { return std::optional<int>(7); }, 10s, threads.starter());
  EXPECT_EQ(r, 7);
}

TEST(Deadline, WorkerWithoutResult) {
  JoiningStarter threads;
  auto start = std::chrono::steady_clock::now();
  std::optional<int> r = run_with_deadline<int>([] { return std::optional<int>(); }, 10s, threads.starter());
  EXPECT_EQ(r, std::nullopt);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s) << "returned when the worker ended, not at the deadline";
}

TEST(Deadline, HungWorkerIsLeftBehindAndItsLateResultDropped) {
  JoiningStarter threads;
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  std::atomic<bool> worker_finished{false};
  std::optional<int> r = run_with_deadline<int>(
      [released, &worker_finished] {
        released.wait();
        worker_finished = true;
        return std::optional<int>(1);
      },
      30ms, threads.starter());
  EXPECT_EQ(r, std::nullopt);
  EXPECT_FALSE(worker_finished);
  release.set_value();  // the worker now sends into a channel nobody waits on
  threads.threads.front().join();
  threads.threads.clear();
  EXPECT_TRUE(worker_finished);
}

TEST(Deadline, NoThreadNoAnswer) {
  std::atomic<bool> ran{false};
  std::optional<int> r = run_with_deadline<int>(
      [&] {
        ran = true;
        return std::optional<int>(1);
      },
      10s, [](std::function<void()>) { return false; });
  EXPECT_EQ(r, std::nullopt);
  EXPECT_FALSE(ran);
}

TEST(Deadline, FailingWorkIsNoAnswer) {
  JoiningStarter threads;
  std::optional<int> r = run_with_deadline<int>(
      []() -> std::optional<int> { throw std::runtime_error("boom"); }, 10s, threads.starter());
  EXPECT_EQ(r, std::nullopt);
}

}  // namespace
}  // namespace velk
