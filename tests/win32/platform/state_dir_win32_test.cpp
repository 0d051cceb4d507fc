// The state directory's Win32 calls under Wine. Wine keeps no file security
// (it reports a descriptor made up from the Unix mode), so what is proven here
// is that every call succeeds and what each kind of existing path becomes;
// the access list itself is proven natively as data.

#include <windows.h>

#include <gtest/gtest.h>

#include <fstream>

#include "platform/state_dir.h"
#include "temp_dir.h"

namespace velk {
namespace {

TEST(StateDirWin32, CreatesSecuresKeepsWhatIsOursAndReplacesAFile) {
  test::TempDir tmp;
  const auto dir = tmp.path() / "ProgramData" / "VELK VPN";
  ASSERT_TRUE(prepare_state_dir(dir));
  EXPECT_TRUE(std::filesystem::is_directory(dir));

  std::ofstream(dir / "install.log") << "kept\n";  // made by this process: its own account
  ASSERT_TRUE(prepare_state_dir(dir));              // secure an existing directory of ours
  EXPECT_TRUE(std::filesystem::exists(dir / "install.log"));

  auto system = make_state_dir_system();
  const PathInfo info = system->inspect(dir);
  EXPECT_EQ(info.kind, EntryKind::directory);
  EXPECT_FALSE(info.reparse_point);
  ASSERT_TRUE(info.owner);
  EXPECT_TRUE(is_trusted_owner(info.owner, system->own_account())) << *info.owner;
  EXPECT_EQ(system->inspect(dir / "missing").kind, EntryKind::missing);

  const auto planted = tmp.path() / "planted";
  std::ofstream(planted) << "planted";
  ASSERT_TRUE(prepare_state_dir(planted));
  EXPECT_TRUE(std::filesystem::is_directory(planted));
}

TEST(StateDirWin32, RemovesATreeWithoutFollowingItsLinks) {
  test::TempDir tmp;
  const auto tree = tmp.path() / "planted";
  std::filesystem::create_directories(tree / "a" / "b");
  std::ofstream(tree / "a" / "b" / "killswitch.json") << "{}";
  SetFileAttributesW((tree / "a" / "b" / "killswitch.json").c_str(), FILE_ATTRIBUTE_READONLY);
  auto system = make_state_dir_system();
  EXPECT_TRUE(system->remove(tree, system->inspect(tree)));
  EXPECT_FALSE(std::filesystem::exists(tree));
}

}  // namespace
}  // namespace velk
