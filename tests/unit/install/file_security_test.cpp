// Who may change the install directory, as the descriptor read on Windows says.

#include "install/file_security.h"

#include <gtest/gtest.h>

#include "fake_install_fs.h"

namespace velk {
namespace {

using Kind = AccessRule::Kind;
const std::string kUsers = "S-1-5-32-545", kUser = "S-1-5-21-7", kMay = " may write, add or delete files in it";

TEST(FileSecurity, WhoMayChangeTheInstallDirectory) {
  const std::string admins(kAdministratorsSid), creator(kCreatorOwnerSid);
  const std::tuple<std::string, std::vector<AccessRule>, std::optional<std::string>> cases[] = {
      {admins, {}, std::nullopt},  // a folder made under Program Files
      {std::string(kTrustedInstallerSid), {{Kind::deny, kUsers, 0x1F01FF, false}}, std::nullopt},
      {kUser, {}, "it is owned by " + kUser},
      {admins, {{Kind::allow, kUsers, 0x40, false}}, kUsers + kMay},              // delete inside
      {admins, {{Kind::allow, kUsers, 0x40000, false}}, kUsers + kMay},           // change its list
      {admins, {{Kind::allow, kUsers, 0x40000000, true}}, kUsers + kMay},         // write what is made inside
      {admins, {{Kind::allow, creator, 0x1F01FF, false}}, creator + kMay},        // on the folder itself
      {admins, {{Kind::other, "?", 0, false}}, "?" + kMay},
  };
  for (const auto& [owner, extra, why] : cases) {
    FileSecurity s = test::FakeInstallFs::program_files_folder();
    s.owner = owner;
    s.rules.insert(s.rules.end(), extra.begin(), extra.end());
    EXPECT_EQ(why_others_can_change(s, std::nullopt), why) << owner << " " << s.rules.back().sid;
    EXPECT_TRUE(why_others_can_change(FileSecurity{owner, false, {}}, std::nullopt)) << "no list at all";
  }
  // As Wine makes one up (SYSTEM and the owner full, everyone read): the installer's account is trusted.
  EXPECT_FALSE(why_others_can_change({kUser, true, {{Kind::allow, kUser, 0x1F01FF}, {Kind::allow, "S-1-1-0", 0x1200A9}}}, kUser));
}

}  // namespace
}  // namespace velk
