#include "engine/loopback_port.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace velk {
namespace {

// Binds and listens on 127.0.0.1:port; true when that worked.
bool can_listen_on(std::uint16_t port) {
  int fd = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (fd < 0) return false;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(port);
  const bool ok = ::bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0 && ::listen(fd, 1) == 0;
  ::close(fd);
  return ok;
}

TEST(FreeLoopbackPort, PortIsReleasedAndBindable) {
  auto port = free_loopback_port();
  ASSERT_TRUE(port);
  EXPECT_NE(*port, 0);
  EXPECT_TRUE(can_listen_on(*port)) << *port;
}

}  // namespace
}  // namespace velk
