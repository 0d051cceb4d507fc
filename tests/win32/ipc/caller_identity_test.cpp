// identify_caller on a server end of a real pipe. Wine impersonates the
// server itself for a pipe's client (one user for every process), so this
// proves the calls and the revert, not whose token Windows hands over.

#include <gtest/gtest.h>

#include "ipc/caller_identity_win32.h"
#include "ipc/pipe_server_win32.h"
#include "pipe_test_util.h"

namespace velk::test {
namespace {

UniqueHandle server_instance(const std::string& name) {
  std::wstring w = wide(name);
  return UniqueHandle(CreateNamedPipeW(w.c_str(), PIPE_ACCESS_DUPLEX, kPipeMode, PIPE_UNLIMITED_INSTANCES, 4096,
                                       4096, 0, nullptr));
}

TEST(IdentifyCaller, ClientInThisProcess) {
  std::string name = unique_pipe_name("ident");
  UniqueHandle server = server_instance(name);
  ASSERT_TRUE(server);
  UniqueHandle client = connect_client(name);
  ASSERT_TRUE(client);
  ConnectNamedPipe(server.get(), nullptr);  // ERROR_PIPE_CONNECTED: already there
  const auto connected_at = system_time_now();

  EXPECT_EQ(identify_client_process(server.get(), connected_at), own_identity());
  EXPECT_FALSE(identify_client_process(server.get(), 0)) << "a process started after the connection";
  char byte = 0;  // named once a read has returned bytes
  DWORD got = 0;
  ASSERT_TRUE(write_text(client.get(), "x") && ReadFile(server.get(), &byte, 1, &got, nullptr));
  std::optional<CallerIdentity> caller = identify_caller(server.get(), connected_at);
  ASSERT_TRUE(caller);
  EXPECT_EQ(*caller, own_identity());
  EXPECT_FALSE(caller->sid.empty());
  // The client was impersonated to read its token; the thread is itself again.
  HANDLE token = nullptr;
  EXPECT_FALSE(OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &token));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_TOKEN));
}

TEST(IdentifyCaller, NotAPipe) {
  EXPECT_FALSE(identify_caller(GetCurrentProcess(), system_time_now()));
}

}  // namespace
}  // namespace velk::test
