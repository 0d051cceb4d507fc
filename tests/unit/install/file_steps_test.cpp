// The installer's file steps on a real directory through the fake file
// operations: rename retries, the in-use passes, rollback and clean-up
// where the whole install does not reach them.

#include <gtest/gtest.h>

#include <chrono>

#include "install/file_steps.h"
#include "install_world.h"

namespace velk::test {
namespace {

using namespace std::chrono_literals;

TEST(RenameWithRetries, RetriesOnlyAccessSharingAndLockFailures) {
  struct Case {
    std::uint32_t code;
    int times;  // the file is held this often
    std::uint32_t result;
    int renames;
  };
  const Case cases[] = {
      {5, 39, 0, 40},  {32, 39, 0, 40}, {33, 3, 0, 4},  // freed in time
      {32, 40, 32, 40},                                 // held through the 40th attempt
      {87, 1, 87, 1},  {2, 1, 2, 1},                    // not worth retrying
  };
  for (const Case& c : cases) {
    InstallWorld w;
    w.files.busy["wintun.dll"] = {c.times, c.code};
    const FileError e = rename_with_retries(w.files, w.clock, w.dir() / "wintun.dll", w.dir() / "moved.dll");
    EXPECT_EQ(e.code, c.result) << c.code << " x" << c.times;
    EXPECT_EQ(w.files.renames, c.renames) << c.code << " x" << c.times;
    EXPECT_EQ(w.clock.sleeps, std::vector<Clock::duration>(c.renames - 1, 250ms));
  }
}

TEST(FindBusyFile, PassesUntilNothingIsHeld) {
  struct Case {
    int held_for;  // exclusive opens that fail
    std::optional<std::string> busy;
    int retries;  // taskkill runs and one-second pauses
  };
  const Case cases[] = {{0, std::nullopt, 0}, {3, std::nullopt, 3}, {9, std::nullopt, 9}, {10, "wintun.dll", 9}};
  for (const Case& c : cases) {
    InstallWorld w;
    if (c.held_for > 0) w.files.busy["wintun.dll"] = {c.held_for};
    int retries = 0;
    const std::vector<std::string> names{"velkvpn-helper.exe", "absent.exe", "wintun.dll"};
    EXPECT_EQ(find_busy_file(w.files, w.clock, w.dir(), names, [&] { ++retries; }), c.busy) << c.held_for;
    EXPECT_EQ(retries, c.retries);
    EXPECT_EQ(w.clock.sleeps, std::vector<Clock::duration>(c.retries, 1s));
  }
}

TEST(RollBackFiles, SavedFilesThatCannotBeListedAreNotASuccess) {
  InstallWorld w;
  EXPECT_TRUE(roll_back_files(w.files, w.clock, w.dir(), {})) << "nothing was saved";
  std::filesystem::create_directories(w.saved_dir());
  w.write(w.saved_dir() / "velkvpn-helper.exe", "0.1.7");
  w.plan.fail_at = w.plan.calls + 1;  // the listing
  EXPECT_FALSE(roll_back_files(w.files, w.clock, w.dir(), {}));
  EXPECT_EQ(w.plan.failed, "fs.list");
}

// (A clean upgrade already shows saved files and the emptied stage removed.)
// A saved file that cannot be deleted stays in trash, never in .update-old.
TEST(FinishInstall, AHeldSavedFileGetsTwentyAttemptsInTrash) {
  InstallWorld w;
  w.write(w.saved_dir() / "a", "1");
  w.write(w.dir() / ".update-trash-1" / "old", "0");  // left by an earlier install
  w.files.busy["a"] = {};
  finish_install(w.files, w.clock, w.dir());
  EXPECT_FALSE(std::filesystem::exists(w.saved_dir()));
  EXPECT_EQ(w.files_in(w.dir() / ".update-trash-1"), (FileMap{{"a", "1"}}));
  EXPECT_EQ(w.clock.sleeps, std::vector<Clock::duration>(19, 250ms));
}

}  // namespace
}  // namespace velk::test
