#include "platform/windows_args.h"

#include <gtest/gtest.h>

namespace velk {
namespace {

TEST(WindowsArgs, QuotedArgumentsSplitBackUnchanged) {
  std::vector<std::u16string> args = {u"C:\\Program Files\\x.exe", u"run", u"", u"a b", u"say \"hi\"",
                                      u"ends\\", u"dir with\\", u"\\\\server\\share", u"tab\there", u"-c"};
  auto line = join_windows_command_line(args);
  EXPECT_EQ(split_windows_command_line(line), args);
  EXPECT_EQ(quote_windows_argument(u"plain"), u"plain");
  EXPECT_EQ(quote_windows_argument(u"a b\\"), u"\"a b\\\\\"");
}

TEST(WindowsArgs, SplittingFollowsTheSystemRules) {
  using V = std::vector<std::u16string>;
  EXPECT_EQ(split_windows_command_line(u"\"C:\\a b\\x.exe\" --service"), (V{u"C:\\a b\\x.exe", u"--service"}));
  EXPECT_EQ(split_windows_command_line(u"x.exe  a\\\\\\\"b  \"c d\"e"), (V{u"x.exe", u"a\\\"b", u"c de"}));
  EXPECT_EQ(split_windows_command_line(u"x.exe \"--service\""), (V{u"x.exe", u"--service"}));
  EXPECT_EQ(split_windows_command_line(u"C:\\dir\\x.exe"), (V{u"C:\\dir\\x.exe"}));
}

}  // namespace
}  // namespace velk
