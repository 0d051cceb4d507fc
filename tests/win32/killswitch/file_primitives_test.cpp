// The crash-safe file primitives and the kill-switch store on real Windows
// file calls (CreateFileW, FlushFileBuffers, MoveFileExW, DeleteFileW).

#include <windows.h>

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "fake_filter_ops.h"
#include "killswitch/killswitch_store.h"
#include "platform/durable_file.h"
#include "platform/unique_handle_win32.h"
#include "temp_dir.h"

namespace velk {
namespace {

std::string read_text(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

TEST(DurableFile, WriteTruncatesAndKeepsBytesExactly) {
  test::TempDir tmp;
  auto p = tmp.path() / std::filesystem::path(L"a file \u00e9.tmp");  // not only ASCII
  ASSERT_TRUE(write_file_flushed(p, std::string(10000, 'x')));
  ASSERT_TRUE(write_file_flushed(p, "line\nnext\r\n"));
  EXPECT_EQ(read_text(p), "line\nnext\r\n");  // no text-mode translation, old tail gone
  EXPECT_TRUE(write_file_flushed(p, ""));
  EXPECT_EQ(std::filesystem::file_size(p), 0u);
  EXPECT_FALSE(write_file_flushed(tmp.path() / "missing-dir" / "f", "x"));
  std::filesystem::create_directories(tmp.path() / "dir");
  EXPECT_FALSE(write_file_flushed(tmp.path() / "dir", "x"));
}

TEST(DurableFile, ReplacingRenameOverAnExistingFile) {
  test::TempDir tmp;
  auto from = tmp.path() / "killswitch.tmp";
  auto to = tmp.path() / "killswitch.json";
  ASSERT_TRUE(write_file_flushed(to, "old"));
  ASSERT_TRUE(write_file_flushed(from, "new"));
  ASSERT_TRUE(replace_file(from, to));
  EXPECT_EQ(read_text(to), "new");
  EXPECT_FALSE(std::filesystem::exists(from));

  EXPECT_FALSE(replace_file(from, to));  // nothing to move: the target stays
  EXPECT_EQ(read_text(to), "new");

  ASSERT_TRUE(write_file_flushed(from, "third"));
  ASSERT_TRUE(replace_file(from, tmp.path() / "fresh.json"));  // no target yet
  EXPECT_EQ(read_text(tmp.path() / "fresh.json"), "third");
}

TEST(DurableFile, DeleteTellsMissingFromFailed) {
  test::TempDir tmp;
  auto f = tmp.path() / "killswitch.json";
  ASSERT_TRUE(write_file_flushed(f, "{}"));
  EXPECT_TRUE(path_exists(f));
  EXPECT_EQ(delete_file(f), DeleteResult::deleted);
  EXPECT_FALSE(path_exists(f));
  EXPECT_EQ(delete_file(f), DeleteResult::not_found);
  EXPECT_EQ(delete_file(tmp.path() / "no-dir" / "killswitch.json"), DeleteResult::not_found);
  std::filesystem::create_directories(f / "child");
  EXPECT_TRUE(path_exists(f));
  EXPECT_EQ(delete_file(f), DeleteResult::failed);
  EXPECT_EQ(read_small_file(tmp.path() / "none", 100), std::nullopt);
  ASSERT_TRUE(write_file_flushed(tmp.path() / "big", std::string(101, 'x')));
  EXPECT_EQ(read_small_file(tmp.path() / "big", 100), std::nullopt);
  EXPECT_EQ(read_small_file(tmp.path() / "big", 101)->size(), 101u);
}

TEST(KillSwitchStoreOnWindows, ArmWritesThroughTheTemporaryFile) {
  test::TempDir tmp;
  test::FakeFilterOps filters;
  auto dir = tmp.path() / "VELK VPN";
  std::filesystem::create_directories(dir);
  ASSERT_TRUE(write_file_flushed(dir / "killswitch.tmp", std::string(5000, '#')));  // stale
  auto store = KillSwitchStore::load(dir, filters);
  ASSERT_TRUE(store.arm("S-1-5-21-0-0-0-1000", {{"vpn.example", IpAddress::parse("10.0.0.1").value()}},
                        {Pin{IpAddress::parse("10.0.0.1").value(), 443}}));
  EXPECT_EQ(read_text(dir / "killswitch.json"),
            R"({"version":1,"pins":{"vpn.example":"10.0.0.1"},"owner":"S-1-5-21-0-0-0-1000"})");
  EXPECT_FALSE(std::filesystem::exists(dir / "killswitch.tmp"));

  auto again = KillSwitchStore::load(dir, filters);
  EXPECT_EQ(again.saved_state()->owner, "S-1-5-21-0-0-0-1000");
  ASSERT_TRUE(again.disarm_kill_switch());
  EXPECT_FALSE(again.state_file_exists());
}

// killswitch.json held open without delete sharing (by another program):
// neither a stop nor --recover may take the filters away while it stays.
TEST(KillSwitchStoreOnWindows, StateFileHeldOpenKeepsTheFiltersAndStaysEngaged) {
  test::TempDir tmp;
  test::FakeFilterOps filters;
  auto store = KillSwitchStore::load(tmp.path(), filters);
  const Pin pin{IpAddress::parse("10.0.0.1").value(), 443};
  ASSERT_TRUE(store.arm("S-1-5-21-0-0-0-1000", {}, {pin}));
  UniqueHandle held(::CreateFileW((tmp.path() / "killswitch.json").c_str(), GENERIC_READ,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr));
  ASSERT_TRUE(held);

  EXPECT_EQ(store.disarm_kill_switch().error(), "killswitch_failed");
  EXPECT_EQ(filters.installed(), std::vector<Pin>{pin});
  EXPECT_TRUE(store.state_file_exists());
  EXPECT_TRUE(store.armed_in_memory());
  EXPECT_EQ(recover_kill_switch(tmp.path(), filters).error(), "killswitch_failed");
  EXPECT_TRUE(filters.installed().has_value());

  held.reset();
  ASSERT_TRUE(store.disarm_kill_switch());
  EXPECT_FALSE(filters.installed().has_value());
  EXPECT_FALSE(store.state_file_exists());
}

TEST(KillSwitchStoreOnWindows, DirectoryAtTheStateFileNameDoesNotStopRecover) {
  test::TempDir tmp;
  test::FakeFilterOps filters;
  filters.preinstall({Pin{IpAddress::parse("10.0.0.1").value(), 443}});
  std::filesystem::create_directories(tmp.path() / "killswitch.json" / "child");
  EXPECT_TRUE(recover_kill_switch(tmp.path(), filters));
  EXPECT_FALSE(filters.installed().has_value());
}

}  // namespace
}  // namespace velk
