// A client that never reads its long last answer: the server's write and flush wait for it only up to
// kWriteBound and kFlushBound (the pipe cannot hold it), then it disconnects it and goes on serving others.

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "ipc/pipe_server.h"
#include "ipc/pipe_server_io.h"  // kWriteBound
#include "pipe_test_util.h"

namespace velk::test {
namespace {

using namespace std::chrono_literals;

// True once the server has let go of the client's connection.
bool disconnected(HANDLE client) {
  DWORD available = 0;
  return !PeekNamedPipe(client, nullptr, 0, nullptr, &available, nullptr);
}

TEST(PipeFlushBound, AClientThatNeverReadsIsDisconnectedAndOthersAreServed) {
  const std::string name = unique_pipe_name("flush-bound");
  ServerHooks hooks{[] {}, [] {}, [] {},
                    [](ByteStream& stream, const CallerIdentity&) {
                      char buf[64];
                      if (stream.read(buf) > 0)
                        stream.write_all(buf[0] == 'l' ? std::string(64 * kWritePart, 'a') : "answer\n");
                    }};
  std::thread([name, hooks] { run_pipe_server(name, hooks); }).detach();  // serves until the process ends

  UniqueHandle silent = connect_client(name);
  ASSERT_TRUE(silent);
  ASSERT_TRUE(write_text(silent.get(), "long\n"));
  const auto deadline = std::chrono::steady_clock::now() + kWriteBound + kFlushBound + 8s;
  while (!disconnected(silent.get()) && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(20ms);
  }
  EXPECT_TRUE(disconnected(silent.get())) << "the unread answer holds the connection open";

  UniqueHandle next = connect_client(name);
  ASSERT_TRUE(next);
  ASSERT_TRUE(write_text(next.get(), "request\n"));
  EXPECT_EQ(read_line(next.get()), "answer\n");
}

}  // namespace
}  // namespace velk::test
