#include "platform/strict_json.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace velk {
namespace {

std::string nested(std::size_t levels, char open, char close, const std::string& inner) {
  return std::string(levels, open) + inner + std::string(levels, close);
}

std::string nested_objects(std::size_t levels) {
  std::string s = "1";
  for (std::size_t i = 0; i < levels; ++i) s = "{\"k\":" + s + "}";
  return s;
}

TEST(StrictJson, NestingLimitIs128LevelsInBothModes) {
  for (auto parse : {&parse_json_strict, &parse_json_lenient}) {
    EXPECT_TRUE(parse(nested(128, '[', ']', "")).has_value());
    EXPECT_FALSE(parse(nested(129, '[', ']', "")).has_value());
    EXPECT_TRUE(parse(nested_objects(128)).has_value());
    EXPECT_FALSE(parse(nested_objects(129)).has_value());
    EXPECT_TRUE(parse("[" + nested_objects(127) + "]").has_value());
    EXPECT_FALSE(parse("[" + nested_objects(128) + "]").has_value());
    // Depth is nesting, not the number of containers.
    std::string wide = "[";
    for (int i = 0; i < 200; ++i) wide += nested(100, '[', ']', "") + ",";
    wide += "0]";
    EXPECT_TRUE(parse(wide).has_value());
  }
}

TEST(StrictJson, OnlyFourWhiteSpaceBytesAroundTheValue) {
  for (auto parse : {&parse_json_strict, &parse_json_lenient}) {
    EXPECT_EQ(parse(" \t\r\n{\"a\":[1, 2]} \t\r\n"), nlohmann::json::parse(R"({"a":[1,2]})"));
    EXPECT_EQ(parse("7"), nlohmann::json(7));
    for (std::string text : {"", " ", "\xEF\xBB\xBF{}", "{}\xEF\xBB\xBF", "{} x", "{}{}", "{}\f",
                             "\v{}", "{}\xC2\xA0", "1 2", "{},", "[1,]", "{\"a\":1,}", "/**/{}",
                             "'a'", "NaN", "\"\xFF\"", "\"\xED\xA0\x80\""}) {
      SCOPED_TRACE(text);
      EXPECT_FALSE(parse(text).has_value());
    }
    // The parser underneath stops at a NUL byte; what follows must not be lost.
    EXPECT_FALSE(parse(std::string("{}\0", 3)).has_value());
    EXPECT_FALSE(parse(std::string("{}\0{\"a\":1}", 10)).has_value());
    EXPECT_FALSE(parse(std::string("\"a\0\"", 4)).has_value());
  }
}

TEST(StrictJson, RepeatedMembers) {
  const std::string nested_repeat = R"({"a":[{"b":1,"c":2,"b":3}],"d":4})";
  EXPECT_FALSE(parse_json_strict(R"({"a":1,"a":1})").has_value());
  EXPECT_FALSE(parse_json_strict(nested_repeat).has_value());
  EXPECT_TRUE(parse_json_strict(R"({"a":{"a":1},"b":[{"a":1},{"a":2}]})").has_value());
  EXPECT_TRUE(parse_json_strict(R"({"a":1,"A":2,"a ":3})").has_value());  // keys compare exactly

  auto lenient = parse_json_lenient(nested_repeat);
  ASSERT_TRUE(lenient.has_value());
  EXPECT_EQ(*lenient, nlohmann::json::parse(R"({"a":[{"b":3,"c":2}],"d":4})"));
  auto replaced = parse_json_lenient(R"({"a":[1,[2]],"a":{"x":null}})");
  ASSERT_TRUE(replaced.has_value());
  EXPECT_EQ(*replaced, nlohmann::json::parse(R"({"a":{"x":null}})"));

  std::vector<std::pair<std::size_t, std::string>> seen;
  auto record = [&](std::size_t depth, const std::string& key) {
    seen.emplace_back(depth, key);
    return key != "stop";
  };
  EXPECT_TRUE(parse_json(nested_repeat, record).has_value());
  EXPECT_FALSE(parse_json(R"({"x":{"stop":1,"stop":2}})", record).has_value());
  EXPECT_EQ(seen, (std::vector<std::pair<std::size_t, std::string>>{{3, "b"}, {2, "stop"}}));
}

TEST(StrictJson, KeepsNumbersAndStringsExactly) {
  auto j = parse_json_strict(
      R"({"u":18446744073709551615,"i":-9223372036854775808,"f":1.5,"s":"\u00e9\n\"","n":null,"t":true})");
  ASSERT_TRUE(j.has_value());
  EXPECT_EQ((*j)["u"].get<std::uint64_t>(), 18446744073709551615ull);
  EXPECT_TRUE((*j)["i"].is_number_integer());
  EXPECT_EQ((*j)["i"].get<std::int64_t>(), INT64_MIN);
  EXPECT_TRUE((*j)["f"].is_number_float());
  EXPECT_EQ((*j)["s"].get<std::string>(), "\xC3\xA9\n\"");
  EXPECT_TRUE((*j)["n"].is_null());
  EXPECT_TRUE((*j)["t"].get<bool>());
}

}  // namespace
}  // namespace velk
