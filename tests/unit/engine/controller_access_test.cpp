#include "engine/controller_access.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>

#include "ipc/error_codes.h"
#include "platform/random.h"

namespace velk {
namespace {

bool is_secret_text(const std::string& s) {
  return s.size() == 64 &&
         std::all_of(s.begin(), s.end(), [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

TEST(ControllerSecret, TwoLowercaseDigitsPerByteInBufferOrder) {
  std::array<std::uint8_t, 32> bytes{};
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(i * 8);
  bytes[0] = 0x00;
  bytes[1] = 0x0F;
  bytes[2] = 0xA0;
  bytes[31] = 0xFF;
  EXPECT_EQ(controller_secret_text(bytes), "000fa01820283038404850586068707880889098a0a8b0b8c0c8d0d8e0e8f0ff");
  bytes.fill(0);
  EXPECT_EQ(controller_secret_text(bytes), std::string(64, '0'));
}

TEST(ControllerAccess, PortThenSecretFromTheSources) {
  int random_calls = 0;
  ControllerAccessSources sources{[] { return Result<std::uint16_t>(8); },
                                  [&](std::span<std::uint8_t> buf) {
                                    ++random_calls;
                                    EXPECT_EQ(buf.size(), 32u);
                                    std::fill(buf.begin(), buf.end(), std::uint8_t{0x0A});
                                    return Outcome{};
                                  }};
  auto access = new_controller_access(sources);
  ASSERT_TRUE(access);
  EXPECT_EQ(access->port, 8);
  EXPECT_EQ(access->secret, [] {
    std::string s;
    for (int i = 0; i < 32; ++i) s += "0a";
    return s;
  }());
  EXPECT_EQ(random_calls, 1);
}

TEST(ControllerAccess, EitherSourceFailingFailsWithEngineController) {
  int random_calls = 0;
  auto random_ok = [&](std::span<std::uint8_t>) {
    ++random_calls;
    return Outcome{};
  };
  auto no_port = new_controller_access({[] { return Result<std::uint16_t>(fail(err::engine_controller)); }, random_ok});
  ASSERT_FALSE(no_port);
  EXPECT_EQ(no_port.error(), err::engine_controller);
  EXPECT_EQ(random_calls, 0);  // the port comes first

  auto no_random = new_controller_access(
      {[] { return Result<std::uint16_t>(9); }, [](std::span<std::uint8_t>) { return Outcome(fail("x")); }});
  ASSERT_FALSE(no_random);
  EXPECT_EQ(no_random.error(), err::engine_controller);
}

TEST(ControllerAccess, SystemSourcesGiveFreshSecrets) {
  auto first = new_controller_access();
  auto second = new_controller_access();
  ASSERT_TRUE(first);
  ASSERT_TRUE(second);
  EXPECT_TRUE(is_secret_text(first->secret)) << first->secret;
  EXPECT_TRUE(is_secret_text(second->secret)) << second->secret;
  EXPECT_NE(first->secret, second->secret);
  EXPECT_NE(first->port, 0);
}

TEST(FillRandom, FillsLongBuffersCompletely) {
  // 4096 bytes is above getrandom's 256-byte atomic limit. The chance that a
  // working generator leaves a 64-byte stretch all zero is 2^-512.
  std::vector<std::uint8_t> a(4096, 0), b(4096, 0);
  ASSERT_TRUE(fill_random(a));
  ASSERT_TRUE(fill_random(b));
  EXPECT_NE(a, b);
  for (std::size_t off = 0; off < a.size(); off += 64) {
    EXPECT_TRUE(std::any_of(a.begin() + off, a.begin() + off + 64, [](std::uint8_t x) { return x != 0; })) << off;
  }
  EXPECT_TRUE(fill_random(std::span<std::uint8_t>{}));
}

}  // namespace
}  // namespace velk
