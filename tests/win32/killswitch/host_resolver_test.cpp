// getaddrinfo through Winsock.

#include <gtest/gtest.h>

#include <algorithm>

#include "killswitch/endpoint_resolution.h"
#include "killswitch/host_resolver.h"

namespace velk {
namespace {

IpAddress ip(const char* text) { return IpAddress::parse(text).value(); }

TEST(SystemResolver, LiteralsComeBackAsThemselves) {
  auto resolver = system_host_resolver();
  EXPECT_EQ(resolver->resolve("192.0.2.7"), std::vector<IpAddress>{ip("192.0.2.7")});
  EXPECT_EQ(resolver->resolve("2001:db8::5"), std::vector<IpAddress>{ip("2001:db8::5")});
}

TEST(SystemResolver, LocalhostIsLoopback) {
  auto answer = system_host_resolver()->resolve("localhost");
  ASSERT_FALSE(answer.empty());
  for (const auto& a : answer) {
    EXPECT_TRUE(a == ip("127.0.0.1") || a == ip("::1")) << a.to_string();
  }
}

TEST(SystemResolver, BoundedLookUpOnItsOwnThread) {
  NameResolution resolution = system_name_resolution();
  auto answer = resolve_within_bound(resolution, "localhost");
  ASSERT_FALSE(answer.empty());
  EXPECT_TRUE(std::find(answer.begin(), answer.end(), ip("127.0.0.1")) != answer.end() ||
              std::find(answer.begin(), answer.end(), ip("::1")) != answer.end());
  EXPECT_TRUE(system_host_resolver()->resolve("").empty());
}

}  // namespace
}  // namespace velk
