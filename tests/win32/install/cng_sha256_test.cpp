// SHA-256 through CNG, as the shipped helper computes it.

#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "platform/sha256.h"

namespace velk {
namespace {

TEST(CngSha256, KnownVectors) {
  EXPECT_EQ(sha256_hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(sha256_hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(sha256_hex("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
            "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
}

TEST(CngSha256, MillionAInUnevenPieces) {
  const std::string million(1000000, 'a');
  Sha256 hash;
  for (std::size_t at = 0; at < million.size(); at += 8191) {
    hash.update(std::string_view(million).substr(at, 8191));
  }
  auto digest = hash.finish();
  ASSERT_TRUE(digest.has_value());
  EXPECT_EQ(hex_lower(*digest), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
  EXPECT_FALSE(hash.finish().has_value());  // spent
}

TEST(CngSha256, IndependentHashesAtOnce) {
  Sha256 a, b;
  a.update("ab");
  b.update("x");
  a.update("c");
  auto da = a.finish();
  auto db = b.finish();
  ASSERT_TRUE(da && db);
  EXPECT_EQ(hex_lower(*da), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(hex_lower(*db), "2d711642b726b04401627ca9fbac32f5c8530fb1903cc4db02258717921a4881");
}

TEST(CngSha256, AMovedHashCarriesItsMessageAndLeavesNothingBehind) {
  Sha256 first;
  first.update("a");
  Sha256 second(std::move(first));
  second.update("b");
  Sha256 third;
  third.update("unrelated");
  third = std::move(second);  // the old state's handles are released
  third.update("c");
  first.update("ignored");
  EXPECT_FALSE(first.finish().has_value());
  EXPECT_FALSE(second.finish().has_value());
  auto digest = third.finish();
  ASSERT_TRUE(digest.has_value());
  EXPECT_EQ(hex_lower(*digest), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

}  // namespace
}  // namespace velk
