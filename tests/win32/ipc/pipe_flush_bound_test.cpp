// A client that never reads its last answer: the server's flush waits for it
// only up to kFlushBound, then disconnects it and goes on serving others. A
// client that never reads a long answer: the part it does not take is
// cancelled after kWriteBound, and the connection ends the same way.

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "ipc/pipe_server.h"
#include "ipc/pipe_server_io.h"
#include "pipe_test_util.h"

namespace velk::test {
namespace {

using namespace std::chrono_literals;

// True once the server has let go of the client's connection.
bool disconnected(HANDLE client) {
  DWORD available = 0;
  return !PeekNamedPipe(client, nullptr, 0, nullptr, &available, nullptr);
}

// Serves `name` until the process ends: each request line gets `answer`.
void serve_answers(const std::string& name, std::size_t answer_bytes) {
  ServerHooks hooks{[] {}, [] {}, [] {},
                    [answer_bytes](ByteStream& stream, const CallerIdentity&) {
                      char buf[64];
                      if (stream.read(buf) > 0) stream.write_all(std::string(answer_bytes - 1, 'a') + "\n");
                    }};
  std::thread([name, hooks] { run_pipe_server(name, hooks); }).detach();
}

TEST(PipeFlushBound, AClientThatNeverReadsIsDisconnectedAndOthersAreServed) {
  struct Row {
    const char* what;
    std::size_t answer_bytes;
    Clock::duration bound;
  } rows[] = {
      {"a short answer, left in the pipe at the flush", 7, kFlushBound},
      // Far more than the pipe holds: the write itself waits for the client.
      {"a long answer, stuck in the middle", 64 * kWritePart, kWriteBound + kFlushBound},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    const std::string name = unique_pipe_name("flush-bound");
    serve_answers(name, row.answer_bytes);

    UniqueHandle silent = connect_client(name);
    ASSERT_TRUE(silent);
    ASSERT_TRUE(write_text(silent.get(), "request\n"));
    const auto deadline = std::chrono::steady_clock::now() + row.bound + 8s;
    while (!disconnected(silent.get()) && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(20ms);
    }
    EXPECT_TRUE(disconnected(silent.get())) << "the unread answer holds the connection open";

    UniqueHandle next = connect_client(name);
    ASSERT_TRUE(next);
    ASSERT_TRUE(write_text(next.get(), "request\n"));
    const std::optional<std::string> answer = read_line(next.get(), 20s);
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->size(), row.answer_bytes);
  }
}

}  // namespace
}  // namespace velk::test
