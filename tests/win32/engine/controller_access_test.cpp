// The free-port probe (Winsock) and the random source (ProcessPrng, or
// BCryptGenRandom where Wine lacks it) as they run on Windows.

#include <winsock2.h>
#include <ws2tcpip.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "engine/controller_access.h"
#include "engine/loopback_port.h"
#include "platform/random.h"

namespace velk {
namespace {

class Winsock : public ::testing::Test {
 protected:
  void SetUp() override {
    WSADATA data;
    ASSERT_EQ(::WSAStartup(MAKEWORD(2, 2), &data), 0);
  }
  void TearDown() override { ::WSACleanup(); }

  // Binds and listens on 127.0.0.1:port; true when that worked.
  static bool can_listen_on(std::uint16_t port) {
    SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) return false;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(port);
    const bool ok = ::bind(s, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0 && ::listen(s, 1) == 0;
    ::closesocket(s);
    return ok;
  }
};

TEST_F(Winsock, FreeLoopbackPortIsReleasedAndBindable) {
  auto port = free_loopback_port();
  ASSERT_TRUE(port);
  EXPECT_NE(*port, 0);
  EXPECT_TRUE(can_listen_on(*port)) << *port;
}

TEST_F(Winsock, ControllerAccessIsFreshEachTime) {
  auto first = new_controller_access();
  auto second = new_controller_access();
  ASSERT_TRUE(first);
  ASSERT_TRUE(second);
  for (const auto* a : {&*first, &*second}) {
    EXPECT_EQ(a->secret.size(), 64u);
    EXPECT_TRUE(std::all_of(a->secret.begin(), a->secret.end(),
                            [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); }))
        << a->secret;
    EXPECT_TRUE(can_listen_on(a->port)) << a->port;
  }
  EXPECT_NE(first->secret, second->secret);
}

TEST(FillRandom, SystemGeneratorFillsWholeBuffers) {
  std::vector<std::uint8_t> a(4096, 0), b(4096, 0);
  ASSERT_TRUE(fill_random(a));
  ASSERT_TRUE(fill_random(b));
  EXPECT_NE(a, b);
  // A 64-byte stretch left all zero would mean a short fill (chance 2^-512 otherwise).
  for (std::size_t off = 0; off < a.size(); off += 64) {
    EXPECT_TRUE(std::any_of(a.begin() + off, a.begin() + off + 64, [](std::uint8_t x) { return x != 0; })) << off;
  }
  std::uint8_t one = 0;
  EXPECT_TRUE(fill_random(std::span<std::uint8_t>(&one, 1)));
  EXPECT_TRUE(fill_random(std::span<std::uint8_t>{}));
}

}  // namespace
}  // namespace velk
