// The state directory's Win32 calls under Wine. Wine keeps no file security
// (it reports a descriptor made up from the Unix mode, owned by the process's
// account), so the access list and the owner rule are proven natively; here
// every call runs for real: the directory made and held, its files reached
// through the held handle, the marker of a fresh creation, the saved kill
// switch carried from a directory found without it, what stands at the path moved aside and later
// deleted (never through a file with another link), and the share modes that
// make a move aside fail.

#include <windows.h>

#include <gtest/gtest.h>

#include <fstream>
#include <string>

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

std::size_t entries_in(const std::filesystem::path& dir) {
  return static_cast<std::size_t>(std::distance(std::filesystem::directory_iterator(dir), {}));
}

TEST(StateDirWin32, WhatIsNotOursIsMovedAsideAndDeletedLater) {
  test::TempDir tmp;
  const auto dir = tmp.path() / "VELK VPN";
  std::ofstream(dir) << "planted";
  OpenedStateDir opened = open_state_dir(dir, StateDirUse::default_dir);
  ASSERT_FALSE(opened.failed) << opened.message;
  EXPECT_TRUE(std::filesystem::is_directory(dir));
  EXPECT_EQ(entries_in(tmp.path()), 2u) << "what was moved aside waits for the clean-out";
  clean_out_moved_aside(dir);
  EXPECT_EQ(entries_in(tmp.path()), 1u) << "what was moved aside is gone";

  // A tree moved aside goes entry by entry, read-only files included; its
  // sibling stays, and so does a file with a second name outside the tree,
  // read-only as it was.
  const auto tree = tmp.path() / "aside";
  const auto elsewhere = tmp.path() / "elsewhere.txt";
  std::filesystem::create_directories(tree / "a" / "b");
  std::ofstream(tree / "a" / "b" / "killswitch.json") << "{}";
  SetFileAttributesW((tree / "a" / "b" / "killswitch.json").c_str(), FILE_ATTRIBUTE_READONLY);
  std::ofstream(tree / "a" / "install.log") << "x";
  std::ofstream(elsewhere) << "not the tree's";
  ASSERT_TRUE(SetFileAttributesW(elsewhere.c_str(), FILE_ATTRIBUTE_READONLY));
  ASSERT_TRUE(CreateHardLinkW((tree / "a" / "linked").c_str(), elsewhere.c_str(), nullptr)) << GetLastError();
  auto system = make_state_dir_system();
  system->delete_tree(tree);
  EXPECT_FALSE(std::filesystem::exists(tree / "a" / "b"));
  EXPECT_FALSE(std::filesystem::exists(tree / "a" / "install.log"));
  EXPECT_TRUE(std::filesystem::exists(tree / "a" / "linked")) << "a file with another name is left alone";
  EXPECT_EQ(GetFileAttributesW(elsewhere.c_str()) & FILE_ATTRIBUTE_READONLY, static_cast<DWORD>(FILE_ATTRIBUTE_READONLY));
  EXPECT_EQ(read_all(elsewhere), "not the tree's");
  EXPECT_TRUE(std::filesystem::is_directory(dir));
}

// A directory found without the marker of a fresh creation (an earlier
// release's) is moved aside, only its saved kill switch carried into the fresh
// one; one made fresh carries the marker and is kept whatever it holds later.
// Privileges used for the move never stay enabled on the process's token.
TEST(StateDirWin32, MarkerCarriedKillSwitchAndPrivileges) {
  test::TempDir tmp;
  const auto dir = tmp.path() / "VELK VPN";
  const std::string saved = R"({"version":1,"pins":{"a.example":"192.0.2.1"},"owner":"S-1-5-21-7"})";
  std::filesystem::create_directories(dir);
  std::ofstream(dir / "killswitch.json", std::ios::binary) << saved;
  OpenedStateDir made = open_state_dir(dir, StateDirUse::default_dir);
  ASSERT_FALSE(made.failed) << made.message;
  EXPECT_EQ(made.files->read("killswitch.json", 1000), std::optional<std::string>(saved)) << "carried";
  EXPECT_EQ(made.files->kind(kFreshDirMarker), StateEntry::file);
  std::filesystem::create_directories(dir / "sub");
  OpenedStateDir again = open_state_dir(dir, StateDirUse::default_dir);
  EXPECT_EQ(again.files->kind("sub"), StateEntry::other) << "kept, with what it holds";

  HANDLE raw = nullptr;
  ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &raw));
  UniqueHandle token(raw);
  alignas(TOKEN_PRIVILEGES) unsigned char buffer[4096];
  DWORD size = 0;
  ASSERT_TRUE(GetTokenInformation(token.get(), TokenPrivileges, buffer, sizeof buffer, &size));
  const auto* held = reinterpret_cast<const TOKEN_PRIVILEGES*>(buffer);
  int checked = 0;
  for (DWORD i = 0; i < held->PrivilegeCount; ++i) {
    wchar_t name[64];
    DWORD length = 64;
    LUID luid = held->Privileges[i].Luid;
    if (!LookupPrivilegeNameW(nullptr, &luid, name, &length)) continue;
    const std::wstring n(name, length);
    if (n != L"SeBackupPrivilege" && n != L"SeRestorePrivilege" && n != L"SeTakeOwnershipPrivilege") continue;
    ++checked;
    EXPECT_EQ(held->Privileges[i].Attributes & SE_PRIVILEGE_ENABLED, 0u) << checked;
  }
  EXPECT_EQ(checked, 3) << "the token holds all three";
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
