#include "platform/text.h"

#include <gtest/gtest.h>

namespace velk {
namespace {

TEST(Text, LossyUtf8ReplacesEachBadByte) {
  EXPECT_EQ(utf8_lossy("abc"), "abc");
  EXPECT_EQ(utf8_lossy("\xC3\xA9"), "\xC3\xA9");
  EXPECT_EQ(utf8_lossy("a\xFF" "b"), "a\xEF\xBF\xBD" "b");
  EXPECT_EQ(utf8_lossy("\xC0\x80"), "\xEF\xBF\xBD\xEF\xBF\xBD");  // overlong NUL
  EXPECT_EQ(utf8_lossy("\xED\xA0\x80"), "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");  // surrogate
  EXPECT_EQ(utf8_lossy("\xE2\x82"), "\xEF\xBF\xBD\xEF\xBF\xBD");  // cut short
  EXPECT_TRUE(is_valid_utf8("\xF0\x9F\x98\x80"));
  EXPECT_FALSE(is_valid_utf8("\xF4\x90\x80\x80"));  // above U+10FFFF
}

TEST(Text, Utf16RoundTripIncludingSurrogatePairs) {
  std::string s = "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80";
  std::u16string w = utf16_from_utf8(s);
  EXPECT_EQ(w, u"a\u00e9\u20ac\U0001F600");
  EXPECT_EQ(utf8_from_utf16(w), s);
  EXPECT_EQ(utf8_from_utf16(std::u16string(1, char16_t(0xD800))), "\xEF\xBF\xBD");
  EXPECT_EQ(ascii_lower("AbC-\xC3\x89"), "abc-\xC3\x89");
}

}  // namespace
}  // namespace velk
