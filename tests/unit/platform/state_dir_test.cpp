// The state directory: the access list it asks for, and what is done with
// each kind of thing found at its path.

#include "platform/state_dir.h"

#include <gtest/gtest.h>

#include <map>

#include "temp_dir.h"

namespace velk {
namespace {

const std::string kOwn = "S-1-5-21-0-0-0-1000";
const std::string kUser = "S-1-5-21-7-7-7-1002";
const std::filesystem::path kDir = "C:/ProgramData/VELK VPN";

PathInfo dir_of(std::optional<std::string> owner) { return PathInfo{EntryKind::directory, false, std::move(owner)}; }
PathInfo file_of(std::string owner) { return PathInfo{EntryKind::file, false, std::move(owner)}; }
PathInfo link_of(std::string owner) { return PathInfo{EntryKind::directory, true, std::move(owner)}; }

// A file system of named entries; every call is written down.
class FakeSystem final : public StateDirSystem {
 public:
  std::map<std::filesystem::path, PathInfo> at;
  std::vector<std::string> calls;
  std::vector<DirSecurity> security_set;
  bool refuse_secure = false;

  PathInfo inspect(const std::filesystem::path& path) override {
    auto it = at.find(path);
    return it == at.end() ? PathInfo{} : it->second;
  }
  std::optional<std::vector<DirEntry>> list(const std::filesystem::path& dir) override {
    std::vector<DirEntry> entries;
    for (const auto& [path, info] : at) {
      if (path.parent_path() == dir) entries.push_back(DirEntry{path, info});
    }
    return entries;
  }
  bool create_parents(const std::filesystem::path&) override { return true; }
  bool create_directory(const std::filesystem::path& dir, const DirSecurity& security) override {
    calls.push_back("create " + dir.filename().string());
    security_set.push_back(security);
    at[dir] = dir_of(std::string(kAdministratorsSid));
    return true;
  }
  bool secure_directory(const std::filesystem::path& dir, const DirSecurity& security) override {
    calls.push_back("secure " + dir.filename().string());
    security_set.push_back(security);
    if (refuse_secure) return false;
    at[dir].owner = security.owner;
    return true;
  }
  bool inherit_security(const std::filesystem::path& path) override {
    calls.push_back("inherit " + path.filename().string());
    return true;
  }
  bool remove(const std::filesystem::path& path, const PathInfo&) override {
    calls.push_back("remove " + path.filename().string());
    std::erase_if(at, [&](const auto& e) { return e.first == path || e.first.parent_path() == path; });
    return true;
  }
  std::optional<std::string> own_account() override { return kOwn; }
};

TEST(StateDirSecurity, OwnedByAdministratorsProtectedAndInheritedByEverythingInside) {
  FakeSystem system;
  ASSERT_TRUE(prepare_state_dir(kDir, system));
  ASSERT_EQ(system.security_set.size(), 1u);
  EXPECT_EQ(system.security_set[0].entries,
            (std::vector<AccessEntry>{{"S-1-5-18", true, true, true}, {"S-1-5-32-544", true, true, true}}));
  EXPECT_EQ(to_sddl(system.security_set[0]), "O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)");
}

TEST(StateDirPlan, EachKindOfThingAtThePath) {
  const struct {
    PathInfo found;
    StateDirPlan plan;
  } cases[] = {
      {PathInfo{}, StateDirPlan::create},
      {dir_of("S-1-5-18"), StateDirPlan::secure_and_keep},
      {dir_of("S-1-5-32-544"), StateDirPlan::secure_and_keep},
      {dir_of(kOwn), StateDirPlan::secure_and_keep},
      {dir_of(kUser), StateDirPlan::take_over},
      {dir_of(std::nullopt), StateDirPlan::take_over},  // an owner that cannot be read is no one we trust
      {link_of("S-1-5-18"), StateDirPlan::remove_first},
      {file_of("S-1-5-18"), StateDirPlan::remove_first},
      {PathInfo{EntryKind::other, false, kUser}, StateDirPlan::remove_first},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(plan_state_dir(c.found, kOwn), c.plan) << static_cast<int>(c.found.kind) << c.found.owner.value_or("?");
  }
}

TEST(PrepareStateDir, WhatIsDoneWithEachKindOfExistingDirectory) {
  const struct {
    const char* name;
    std::map<std::filesystem::path, PathInfo> before;
    std::vector<std::string> calls;
    bool refuse_secure = false;
  } cases[] = {
      {"missing", {}, {"create VELK VPN"}},
      {"ours, with a planted file, a foreign directory and a link inside",
       {{kDir, dir_of("S-1-5-18")},
        {kDir / "install.log", file_of("S-1-5-32-544")},
        {kDir / "killswitch.json", file_of(kUser)},
        {kDir / "killswitch.tmp", dir_of(kUser)},
        {kDir / "logs", link_of(kOwn)}},
       {"secure VELK VPN", "inherit install.log", "remove killswitch.json", "remove killswitch.tmp", "remove logs"}},
      {"planted by a user: taken over in place and emptied",
       {{kDir, dir_of(kUser)}, {kDir / "killswitch.json", file_of("S-1-5-18")}},
       {"secure VELK VPN", "remove killswitch.json"}},
      {"a junction at the path", {{kDir, link_of(kUser)}}, {"remove VELK VPN", "create VELK VPN"}},
      {"a file at the path", {{kDir, file_of(kUser)}}, {"remove VELK VPN", "create VELK VPN"}},
      {"cannot be secured: nothing inside trusted or touched",
       {{kDir, dir_of(kUser)}, {kDir / "killswitch.json", file_of(kUser)}}, {"secure VELK VPN"}, true},
  };
  for (const auto& c : cases) {
    FakeSystem system;
    system.at = c.before;
    system.refuse_secure = c.refuse_secure;
    const auto prepared = prepare_state_dir(kDir, system);
    EXPECT_EQ(prepared.ok() ? "" : prepared.error(), c.refuse_secure ? "killswitch_failed" : "") << c.name;
    EXPECT_EQ(system.calls, c.calls) << c.name;
  }
}

// The native implementation: a real directory, private to its owner, links removed as links.
TEST(PrepareStateDirPosix, MakesAPrivateDirectoryAndNeverFollowsALink) {
  test::TempDir tmp;
  const auto dir = tmp.path() / "a" / "VELK VPN";
  ASSERT_TRUE(prepare_state_dir(dir));
  EXPECT_EQ(std::filesystem::status(dir).permissions(), std::filesystem::perms::owner_all);

  std::filesystem::remove(dir);
  std::filesystem::create_directories(tmp.path() / "elsewhere");
  std::filesystem::create_directory_symlink(tmp.path() / "elsewhere", dir);
  ASSERT_TRUE(prepare_state_dir(dir));
  EXPECT_FALSE(std::filesystem::is_symlink(dir));
  EXPECT_TRUE(std::filesystem::is_directory(tmp.path() / "elsewhere"));
}

}  // namespace
}  // namespace velk
