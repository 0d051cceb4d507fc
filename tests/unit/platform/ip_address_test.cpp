#include "platform/ip_address.h"

#include <gtest/gtest.h>

namespace velk {
namespace {

std::string canon(std::string_view s) {
  auto a = IpAddress::parse(s);
  return a ? a->to_string() : "<invalid>";
}

TEST(IpAddress, Ipv4AcceptsOnlyPlainDottedDecimal) {
  EXPECT_EQ(canon("10.0.0.1"), "10.0.0.1");
  EXPECT_EQ(canon("255.255.255.255"), "255.255.255.255");
  EXPECT_EQ(canon("0.0.0.0"), "0.0.0.0");
  for (const char* bad : {"256.0.0.1", "1.2.3", "1.2.3.4.5", "01.2.3.4", "1.2.3.4 ", " 1.2.3.4", "1..2.3",
                          "1.2.3.", "+1.2.3.4", "1.2.3.0x4", "1234.1.1.1", ""}) {
    EXPECT_FALSE(IpAddress::parse_v4(bad)) << bad;
  }
  EXPECT_EQ(IpAddress::parse("10.1.2.3")->v4_value(), 0x0A010203u);
}

TEST(IpAddress, Ipv6TextFormsAndRfc5952Output) {
  EXPECT_EQ(canon("2001:DB8:0:0:0:0:0:1"), "2001:db8::1");
  EXPECT_EQ(canon("2001:db8::1"), "2001:db8::1");
  EXPECT_EQ(canon("::"), "::");
  EXPECT_EQ(canon("::1"), "::1");
  EXPECT_EQ(canon("1::"), "1::");
  EXPECT_EQ(canon("0001:0000:0000:0001:0000:0000:0000:0001"), "1:0:0:1::1");  // longest run wins
  EXPECT_EQ(canon("1:0:0:2:0:0:3:4"), "1::2:0:0:3:4");                      // first run on a tie
  EXPECT_EQ(canon("1:0:2:3:4:5:6:7"), "1:0:2:3:4:5:6:7");                   // one zero group stays
  EXPECT_EQ(canon("::ffff:1.2.3.4"), "::ffff:1.2.3.4");
  EXPECT_EQ(canon("::ffff:0102:0304"), "::ffff:1.2.3.4");
  EXPECT_EQ(canon("fe80::1:2"), "fe80::1:2");
  for (const char* bad : {"[2001:db8::1]", "fe80::1%eth0", "1::2::3", "1:2:3:4:5:6:7", "1:2:3:4:5:6:7:8:9",
                          "12345::", ":1:2:3:4:5:6:7", "1:2:3:4:5:6:7:", "::g", "1:2:3:4:5:6:7::8", ":::",
                          "::1.2.3", "1.2.3.4::"}) {
    EXPECT_FALSE(IpAddress::parse_v6(bad)) << bad;
  }
}

TEST(IpAddress, OrderIsFamilyThenBigEndianValue) {
  auto a = *IpAddress::parse("9.0.0.1");
  auto b = *IpAddress::parse("10.0.0.0");
  auto c = *IpAddress::parse("::1");
  auto d = *IpAddress::parse("::2");
  EXPECT_LT(a, b);
  EXPECT_LT(b, c);  // every IPv4 address before every IPv6 address
  EXPECT_LT(*IpAddress::parse("255.255.255.255"), c);
  EXPECT_LT(c, d);
  EXPECT_EQ(*IpAddress::parse("::0:1"), c);
}

}  // namespace
}  // namespace velk
