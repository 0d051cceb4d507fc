// The state directory's Win32 calls under Wine. Wine keeps no file security
// (it reports a descriptor made up from the Unix mode, owned by the process's
// account), so the access list and the owner rule are proven natively; here
// every call runs for real: the directory made and held, its files reached
// through the held handle, what stands at the path moved aside and deleted,
// and the share modes that make a move aside fail.

#include <windows.h>

#include <gtest/gtest.h>

#include <fstream>

#include "platform/state_dir.h"
#include "platform/unique_handle_win32.h"
#include "temp_dir.h"

namespace velk {
namespace {

std::string read_all(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

TEST(StateDirWin32, MadeHeldAndItsFilesReachedThroughTheHandle) {
  test::TempDir tmp;
  const auto dir = tmp.path() / "ProgramData" / "VELK VPN";
  OpenedStateDir opened = open_state_dir(dir, StateDirUse::default_dir);
  ASSERT_FALSE(opened.failed) << opened.message;
  StateFiles& files = *opened.files;

  EXPECT_EQ(files.kind("killswitch.json"), StateEntry::missing);
  ASSERT_TRUE(files.write_flushed("killswitch.tmp", "{\"version\":1}"));
  ASSERT_TRUE(files.replace("killswitch.tmp", "killswitch.json"));
  EXPECT_EQ(files.kind("killswitch.json"), StateEntry::file);
  EXPECT_EQ(files.read("killswitch.json", 100), std::optional<std::string>("{\"version\":1}"));
  auto log = files.open_append("install.log");
  ASSERT_TRUE(log);
  log->append("one\n");
  files.open_append("install.log")->append("two\n");

  // While it is held nobody renames or deletes it.
  EXPECT_FALSE(MoveFileW(dir.c_str(), (tmp.path() / "moved").c_str()));
  std::filesystem::create_directory(dir / "sub");
  EXPECT_EQ(files.kind("sub"), StateEntry::other);
  EXPECT_EQ(files.remove("sub"), DeleteResult::deleted);  // an empty directory itself

  // A second opening (the installer beside the service) finds it ours and keeps it.
  OpenedStateDir again = open_state_dir(dir, StateDirUse::default_dir);
  EXPECT_FALSE(again.failed) << again.message;
  log.reset();
  EXPECT_EQ(again.files->read("install.log", 100), std::optional<std::string>("one\ntwo\n"));
  EXPECT_EQ(again.files->remove("killswitch.json"), DeleteResult::deleted);
  EXPECT_EQ(files.kind("killswitch.json"), StateEntry::missing);
}

TEST(StateDirWin32, WhatIsNotOursIsMovedAsideAndDeleted) {
  test::TempDir tmp;
  const auto dir = tmp.path() / "VELK VPN";
  std::ofstream(dir) << "planted";
  OpenedStateDir opened = open_state_dir(dir, StateDirUse::default_dir);
  ASSERT_FALSE(opened.failed) << opened.message;
  EXPECT_TRUE(std::filesystem::is_directory(dir));
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(tmp.path()), {}), 1) << "what was moved aside is gone";

  // A tree moved aside goes entry by entry, read-only files included; its sibling stays.
  const auto tree = tmp.path() / "aside";
  std::filesystem::create_directories(tree / "a" / "b");
  std::ofstream(tree / "a" / "b" / "killswitch.json") << "{}";
  SetFileAttributesW((tree / "a" / "b" / "killswitch.json").c_str(), FILE_ATTRIBUTE_READONLY);
  std::ofstream(tree / "a" / "install.log") << "x";
  auto system = make_state_dir_system();
  system->delete_tree(tree);
  EXPECT_FALSE(std::filesystem::exists(tree));
  EXPECT_TRUE(std::filesystem::is_directory(dir));
}

// Held open without delete sharing by someone else: the default path cannot
// be moved aside, and the mode goes on without a directory; only looked
// at, a file is left alone.
TEST(StateDirWin32, WhatCannotBeMovedAsideFailsClosed) {
  test::TempDir tmp;
  const auto dir = tmp.path() / "VELK VPN";
  std::ofstream(dir) << "planted";
  UniqueHandle holder(CreateFileW(dir.c_str(), GENERIC_READ | DELETE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
  ASSERT_TRUE(holder);
  OpenedStateDir opened = open_state_dir(dir, StateDirUse::default_dir);
  EXPECT_TRUE(opened.failed);
  EXPECT_NE(opened.message.find("cannot be moved aside"), std::string::npos) << opened.message;
  EXPECT_FALSE(opened.files->write_flushed("killswitch.tmp", "x"));
  holder.reset();
  EXPECT_EQ(read_all(dir), "planted");

  OpenedStateDir looked = open_state_dir(dir, StateDirUse::look_only);
  EXPECT_FALSE(looked.failed);
  EXPECT_EQ(read_all(dir), "planted");
}

}  // namespace
}  // namespace velk
