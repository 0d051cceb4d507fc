#include "killswitch/armed_state.h"

#include <gtest/gtest.h>

#include <string>

namespace velk {
namespace {

TEST(ArmedStateJson, WritesCompactInFixedOrderWithSortedHosts) {
  ArmedState s;
  s.pins = {{"b.example", "10.0.0.2"}, {"a.example", "2001:db8::1"}, {"B.example", "10.0.0.3"}};
  s.owner = "S-1-5-21-1-2-3-1001";
  EXPECT_EQ(armed_state_to_json(s).value(),
            R"({"version":1,"pins":{"B.example":"10.0.0.3","a.example":"2001:db8::1","b.example":"10.0.0.2"},)"
            R"("owner":"S-1-5-21-1-2-3-1001"})");

  ArmedState empty;
  EXPECT_EQ(armed_state_to_json(empty).value(), R"({"version":1,"pins":{},"owner":null})");
}

TEST(ArmedStateJson, RoundTrips) {
  ArmedState s;
  s.pins = {{"vpn.example", "198.51.100.7"}, {"x-", "2001:db8::2"}};
  s.owner = "S-1-5-18";
  EXPECT_EQ(armed_state_from_json(armed_state_to_json(s).value()), s);
  ArmedState no_owner;
  EXPECT_EQ(armed_state_from_json(armed_state_to_json(no_owner).value()), no_owner);
}

TEST(ArmedStateJson, ReadsWhatTheRulesAllow) {
  auto missing_owner = armed_state_from_json(R"({"version":1,"pins":{"h":"10.0.0.1"}})");
  ASSERT_TRUE(missing_owner);
  EXPECT_FALSE(missing_owner->owner);
  EXPECT_EQ(missing_owner->pins.at("h"), "10.0.0.1");

  auto null_owner = armed_state_from_json(R"({"owner":null,"pins":{},"version":1})");  // any member order
  ASSERT_TRUE(null_owner);
  EXPECT_FALSE(null_owner->owner);

  // White space around the object is fine; the version is not examined.
  EXPECT_TRUE(armed_state_from_json(" \r\n\t{\"version\":1,\"pins\":{}} \n"));
  EXPECT_TRUE(armed_state_from_json(R"({"version":"two","pins":{}})"));
  EXPECT_EQ(armed_state_from_json(R"({"version":7,"pins":{}})")->version, 7u);
}

TEST(ArmedStateJson, RefusesEverythingElse) {
  const char* bad[] = {
      "",
      "not json",
      "[]",
      "null",
      R"({"pins":{}})",                                         // no version
      R"({"version":1})",                                       // no pins
      R"({"version":1,"pins":[]})",                             // pins not an object
      R"({"version":1,"pins":{"h":1}})",                        // address not a string
      R"({"version":1,"pins":{"h":null}})",
      R"({"version":1,"pins":{},"owner":5})",                   // owner not a string
      R"({"version":1,"pins":{},"owner":{}})",
      R"({"version":1,"pins":{},"extra":true})",                // unknown member
      R"({"version":1,"version":1,"pins":{}})",                 // repeated member
      R"({"version":1,"pins":{},"pins":{}})",
      R"({"version":1,"pins":{"h":"10.0.0.1","h":"10.0.0.2"}})",  // repeated host
      R"({"version":{"a":1,"a":2},"pins":{}})",                 // repeated member deeper down
      R"({"version":1,"pins":{}} x)",                           // trailing bytes
      R"({"version":1,"pins":{}}{})",
      "\xEF\xBB\xBF{\"version\":1,\"pins\":{}}",                  // byte order mark
      "{\"version\":1,\"pins\":{\"h\":\"\xC3\x28\"}}",            // invalid UTF-8
      R"({"version":1,"pins":{},)",
  };
  for (const char* text : bad) {
    EXPECT_FALSE(armed_state_from_json(text)) << text;
  }
  std::string with_nul("{\"version\":1,\"pins\":{}}\0{\"x\":1}", 31);  // what follows a NUL counts too
  EXPECT_FALSE(armed_state_from_json(with_nul));
  std::string deep = R"({"version":)" + std::string(200, '[') + std::string(200, ']') + R"(,"pins":{}})";
  EXPECT_FALSE(armed_state_from_json(deep));
}

}  // namespace
}  // namespace velk
