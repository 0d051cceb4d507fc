// Who may change the install directory, and who may open a file kept aside,
// as the security descriptors read on Windows say.

#include "install/file_security.h"

#include <gtest/gtest.h>

#include "fake_install_fs.h"

namespace velk {
namespace {

using Kind = AccessRule::Kind;
constexpr std::uint32_t kModify = 0x1301BF, kReadRun = 0x1200A9, kFull = 0x1F01FF;
const std::string kUsers = "S-1-5-32-545", kAuthenticated = "S-1-5-11", kUser = "S-1-5-21-7-7-7-1002";

FileSecurity with(std::vector<AccessRule> extra, std::string owner = std::string(kAdministratorsSid)) {
  FileSecurity s = test::FakeInstallFs::program_files_folder();
  s.owner = std::move(owner);
  s.rules.insert(s.rules.end(), extra.begin(), extra.end());
  return s;
}

TEST(FileSecurity, WhoMayChangeTheInstallDirectory) {
  FileSecurity no_list = with({});
  no_list.has_dacl = false;
  const struct {
    const char* name;
    FileSecurity security;
    std::optional<std::string> why;
  } cases[] = {
      {"a folder under Program Files", with({}), std::nullopt},
      {"owned by TrustedInstaller", with({}, std::string(kTrustedInstallerSid)), std::nullopt},
      {"owned by LocalSystem", with({}, std::string(kLocalSystemSid)), std::nullopt},
      {"a folder under a drive root (authenticated users modify)", with({{Kind::allow, kAuthenticated, kModify, false}}),
       kAuthenticated + " may write, add or delete files in it"},
      {"users may add files only", with({{Kind::allow, kUsers, 0x2, false}}),
       kUsers + " may write, add or delete files in it"},
      {"users may delete inside", with({{Kind::allow, kUsers, 0x40, false}}),
       kUsers + " may write, add or delete files in it"},
      {"users may change its list", with({{Kind::allow, kUsers, 0x40000, false}}),
       kUsers + " may write, add or delete files in it"},
      {"users get generic write on what is made inside", with({{Kind::allow, kUsers, 0x40000000, true}}),
       kUsers + " may write, add or delete files in it"},
      {"CREATOR OWNER on the folder itself", with({{Kind::allow, std::string(kCreatorOwnerSid), kFull, false}}),
       std::string(kCreatorOwnerSid) + " may write, add or delete files in it"},
      {"users denied writing", with({{Kind::deny, kUsers, kFull, false}}), std::nullopt},
      {"an entry of another type", with({{Kind::other, "?", 0, false}}), "? may write, add or delete files in it"},
      {"owned by a user", with({}, kUser), "it is owned by " + kUser},
      {"no access list", no_list, "it has no access list, so everyone may change it"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(why_others_can_change(c.security, std::nullopt), c.why) << c.name;
  }
  // Where descriptors are made up (Wine), the owner alone is judged: the
  // account the installer runs as.
  EXPECT_EQ(why_others_can_change(with({{Kind::allow, "S-1-1-0", kFull, false}}, kUser), kUser), std::nullopt);
  EXPECT_EQ(why_others_can_change(with({}, "S-1-5-21-9"), kUser), "it is owned by S-1-5-21-9");
}

TEST(FileSecurity, OnlySystemAndAdministratorsInAPrivateList) {
  const FileSecurity only_admins{std::string(kAdministratorsSid), true,
                                 {{Kind::allow, std::string(kLocalSystemSid), kFull, false},
                                  {Kind::allow, std::string(kAdministratorsSid), kFull, false},
                                  {Kind::deny, kUsers, kFull, false}}};
  FileSecurity readable = only_admins;
  readable.rules.push_back({Kind::allow, kUsers, kReadRun, false});
  FileSecurity users_own = only_admins;
  users_own.owner = kUser;
  FileSecurity no_list = only_admins;
  no_list.has_dacl = false;
  EXPECT_TRUE(is_private(only_admins, std::nullopt));
  EXPECT_FALSE(is_private(readable, std::nullopt));
  EXPECT_FALSE(is_private(users_own, std::nullopt));
  EXPECT_FALSE(is_private(no_list, std::nullopt));
  EXPECT_TRUE(is_private(readable, std::string(kAdministratorsSid))) << "a made-up list is not judged";
}

}  // namespace
}  // namespace velk
