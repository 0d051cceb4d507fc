#include "platform/sha256.h"

#include <gtest/gtest.h>

#include <string>

namespace velk {
namespace {

constexpr const char* kEmpty = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";
constexpr const char* kAbc = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
// 56 bytes: the padding needs a second block.
constexpr const char* kTwoBlockMessage = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
constexpr const char* kTwoBlock = "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1";
constexpr const char* kMillionA = "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0";

TEST(Sha256, KnownVectors) {
  EXPECT_EQ(sha256_hex(""), kEmpty);
  EXPECT_EQ(sha256_hex("abc"), kAbc);
  EXPECT_EQ(sha256_hex(kTwoBlockMessage), kTwoBlock);
  EXPECT_EQ(sha256_hex(std::string(1000000, 'a')), kMillionA);
}

TEST(Sha256, PiecesOfAnySizeGiveTheSameDigest) {
  const std::string million(1000000, 'a');
  for (std::size_t piece : {1u, 63u, 64u, 65u, 8192u, 8193u, 333333u}) {
    SCOPED_TRACE(piece);
    Sha256 hash;
    for (std::size_t at = 0; at < million.size(); at += piece) {
      hash.update(std::string_view(million).substr(at, piece));
    }
    hash.update("");
    auto digest = hash.finish();
    ASSERT_TRUE(digest.has_value());
    EXPECT_EQ(hex_lower(*digest), kMillionA);
  }
}

TEST(Sha256, IsSpentAfterFinish) {
  Sha256 hash;
  hash.update("abc");
  ASSERT_TRUE(hash.finish().has_value());
  hash.update("abc");
  EXPECT_FALSE(hash.finish().has_value());

  Sha256 moved_from;
  Sha256 moved_to = std::move(moved_from);
  moved_to.update("abc");
  auto digest = moved_to.finish();
  ASSERT_TRUE(digest.has_value());
  EXPECT_EQ(hex_lower(*digest), kAbc);
}

}  // namespace
}  // namespace velk
