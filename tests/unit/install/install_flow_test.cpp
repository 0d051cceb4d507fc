// The whole --install-from-stage run against the faked system: the clean
// upgrade, a first install, every failure path by its cause, and the same
// install with a failure injected at each call in turn.

#include <gtest/gtest.h>

#include "install/manifest.h"
#include "install/service_ops.h"
#include "install_world.h"

namespace velk::test {
namespace {

using Lines = std::vector<std::string>;

Lines with_frame(const InstallWorld& w, Lines middle, int code) {
  Lines all{"install 0.1.8 into " + w.dir().string()};
  all.insert(all.end(), middle.begin(), middle.end());
  all.push_back("result " + std::to_string(code));
  return all;
}

// The install directory's files but an empty mark, each one users may open.
FileMap installed_files(InstallWorld& w, const std::string& failed = "") {
  FileMap found = w.files_in(w.dir());
  EXPECT_EQ(found[".update-swap.pending"], "");
  found.erase(".update-swap.pending");
  for (const auto& [name, content] : found) {
    EXPECT_TRUE(w.files.users_may_open(w.dir() / name) || failed == "fs.make_inherited") << name;
  }
  return found;
}

// The old version is back: its files, a clean stage to retry from, its
// service registered as before and running.
void expect_old_version_in_service(InstallWorld& w, bool stage_intact = true, const std::string& failed = "") {
  EXPECT_EQ(installed_files(w, failed), InstallWorld::kOldFiles);
  EXPECT_FALSE(std::filesystem::exists(w.saved_dir()));
  FileMap stage = w.files_in(w.stage_dir());
  stage.erase("install-manifest.txt");
  if (stage_intact) {
    EXPECT_EQ(stage, w.staged);
  }
  EXPECT_TRUE(w.scm.running());
  EXPECT_EQ(w.scm.running_version, "0.1.7");
  EXPECT_EQ(w.scm.registration, helper_registration(w.dir() / "velkvpn-helper.exe"));
  EXPECT_EQ(w.scm.failure_actions, recovery_actions());
}

// `failed` names a call that failed without stopping the install: the
// clean-up after it, or the recovery actions, may then be left undone.
void expect_new_version_in_service(InstallWorld& w, const std::string& failed = "") {
  EXPECT_EQ(installed_files(w, failed), InstallWorld::kNewFiles);
  EXPECT_FALSE(std::filesystem::exists(w.saved_dir())) << "it would be taken for an unfinished upgrade";
  if (failed != "fs.list" && failed != "fs.remove_file" && failed != "fs.remove_directory") {
    EXPECT_FALSE(std::filesystem::exists(w.stage_dir()));
  }
  EXPECT_TRUE(w.scm.running());
  EXPECT_EQ(w.scm.running_version, "0.1.8");
  EXPECT_EQ(w.scm.registration, helper_registration(w.dir() / "velkvpn-helper.exe"));
  if (failed != "scm.set_failure_actions") {
    EXPECT_EQ(w.scm.failure_actions, recovery_actions());
  }
  EXPECT_FALSE(w.filters.installed());
  EXPECT_FALSE(std::filesystem::exists(w.state_file()));
}

TEST(InstallFlow, CleanUpgradeOfAnAnsweringHelper) {
  InstallWorld w;
  EXPECT_EQ(w.install(), 0);
  EXPECT_EQ(w.lines, with_frame(w, {"the running helper turned the VPN off", "installed and answering"}, 0));
  expect_new_version_in_service(w);
  EXPECT_EQ(w.taskkill.runs, (Lines{"/IM velkvpn.exe", "/IM velkvpn-engine.exe"}));
  // The manifest stays beside the files it describes.
  const std::optional<std::vector<ManifestEntry>> kept = read_manifest(w.dir());
  ASSERT_TRUE(kept);
  EXPECT_EQ(kept->size(), InstallWorld::kNewFiles.size());
  EXPECT_EQ(w.helper.turned_off, 1);
}

TEST(InstallFlow, FirstInstall) {
  for (const bool comes_up : {true, false}) {
    InstallWorld w;
    w.scm.registered = false;
    w.scm.state = 0;
    for (const auto& [name, content] : InstallWorld::kOldFiles) std::filesystem::remove(w.dir() / name);
    w.helper.silent = !comes_up;
    const int code = w.install();
    if (comes_up) {
      EXPECT_EQ(code, 0);
      EXPECT_EQ(w.lines, with_frame(w, {"installed and answering"}, 0));
      EXPECT_EQ(w.scm.controls, (Lines{"create", "actions", "start"}));
      EXPECT_EQ(w.helper.turned_off, 0);
      EXPECT_EQ(w.files_in(w.dir()), InstallWorld::kNewFiles);
    } else {  // nothing is left behind
      EXPECT_EQ(code, 25);
      EXPECT_EQ(w.lines, with_frame(w, {"the new service did not come up; restoring the previous version"}, 25));
      EXPECT_FALSE(w.scm.registered);
      EXPECT_TRUE(w.files_in(w.dir()).empty());
      EXPECT_FALSE(std::filesystem::exists(w.saved_dir()));
    }
  }
}

struct FailureCase {
  std::string name;
  std::function<void(InstallWorld&)> arrange;
  int code;
  Lines lines;  // after the old version was quiesced (not for 20), before the result line
};

class InstallFailure : public ::testing::TestWithParam<FailureCase> {};

TEST_P(InstallFailure, EndsWithItsCodeAndTheOldVersionInService) {
  InstallWorld w;
  GetParam().arrange(w);
  EXPECT_EQ(w.install(), GetParam().code);
  Lines lines = GetParam().lines;
  const bool untouched = GetParam().code == 20 || GetParam().code == 27;
  if (!untouched) lines.insert(lines.begin(), "the running helper turned the VPN off");
  EXPECT_EQ(w.lines, with_frame(w, lines, GetParam().code));
  expect_old_version_in_service(w, GetParam().code != 20);
  if (untouched) {
    EXPECT_EQ(w.scm.controls, Lines{}) << "nothing was stopped";
  }
}

INSTANTIATE_TEST_SUITE_P(
    ByCause, InstallFailure,
    ::testing::Values(
        FailureCase{"WrongDigest", [](InstallWorld& w) { w.write(w.stage_dir() / "velkvpn-engine.exe", "new enginE"); },
                    20, {"the new files are incomplete or damaged; nothing was changed"}},
        FailureCase{"ManifestWithoutHelper",
                    [](InstallWorld& w) { w.stage({{"velkvpn-engine.exe", "new engine"}}); }, 20,
                    {"the new files are incomplete or damaged; nothing was changed"}},
        FailureCase{"ServiceIgnoresStopAndTaskkill",
                    [](InstallWorld& w) {
                      w.scm.ignores_stop = true;
                      w.scm.survives_taskkill = true;
                    },
                    21,
                    {"the service did not stop in time: ending its process", "the old service did not stop"}},
        FailureCase{"FiltersStay", [](InstallWorld& w) { w.filters_stuck = true; }, 22,
                    Lines(3, "removing filters: killswitch_failed")},
        FailureCase{"WintunHeldOpen", [](InstallWorld& w) { w.files.busy["wintun.dll"] = {}; }, 23,
                    {"wintun.dll is in use"}},
        FailureCase{"StagedFileCannotMove",
                    [](InstallWorld& w) {
                      w.files.busy["velkvpn-engine.exe"] = {1, 87, FakeInstallFs::Held::renames_only};
                    },
                    25, {"replacing files: the file operation failed"}},
        // The saved directory went away under the swap: the old file has nowhere to go.
        FailureCase{"OldFileCannotBeSavedForPathNotFound",
                    [](InstallWorld& w) { w.files.busy["wintun.dll"] = {1, 3, FakeInstallFs::Held::renames_only}; },
                    25, {"replacing files: path not found"}},
        FailureCase{"SwapMarkCannotBeWritten",  // a crash in the swap could not be taken back
                    [](InstallWorld& w) { std::filesystem::create_directories(w.swap_mark()); }, 25,
                    {"replacing files: the file operation failed"}},
        // A folder made under a drive root: every authenticated user may change it.
        FailureCase{"InstallDirectoryUsersMayChange",
                    [](InstallWorld& w) { w.files.directory_security.rules.push_back({{}, "S-1-5-11", 0x1301BF}); }, 27,
                    {"the install directory is not protected: S-1-5-11 may write, add or delete files in it; "
                     "nothing was changed"}},
        FailureCase{"NewVersionAnswersAnotherVersion",
                    [](InstallWorld& w) { w.stage({{"velkvpn-helper.exe", "0.1.9"}, {"velkvpn-engine.exe", "x"}}); },
                    25, {"the new service did not come up; restoring the previous version"}}),
    [](const auto& info) { return info.param.name; });

// A relative install directory is the one under the current directory: only
// its full path is registered.
TEST(InstallFlow, RelativeInstallDirectoryIsMadeFull) {
  InstallWorld w;
  const std::filesystem::path was = std::filesystem::current_path();
  std::filesystem::current_path(w.tmp.path());
  const int code = w.install("VELK VPN");
  std::filesystem::current_path(was);
  EXPECT_EQ(code, 0);
  expect_new_version_in_service(w);
}

// Someone holds .update-old and the helper in it open without delete sharing.
void hold_saved_dir(InstallWorld& w) {
  w.files.busy[".update-old"] = {-1, 32, FakeInstallFs::Held::renames_only};
  w.files.busy["velkvpn-helper.exe"] = {-1, 32, FakeInstallFs::Held::deletions_only};
}

// A .update-old the swap did not mark is trash, whoever left it and holds it:
// it never comes back into the install directory.
TEST(InstallFlow, SavedFilesWithoutTheMarkNeverComeBack) {
  const struct { const char* busy; int code; const char* line; } cases[] = {
      {"", 0, "installed and answering"},
      {"wintun.dll", 23, "wintun.dll is in use"},
      {".update-old", 0, "installed and answering"},  // emptied into trash, then used again
  };
  for (const auto& c : cases) {
    InstallWorld w;
    w.write(w.saved_dir() / "velkvpn-helper.exe", "0.1.6");
    if (c.busy == std::string("wintun.dll")) w.files.busy["wintun.dll"] = {};
    if (c.busy == std::string(".update-old")) hold_saved_dir(w);
    EXPECT_EQ(w.install(), c.code);
    EXPECT_EQ(w.lines, with_frame(w, {"the running helper turned the VPN off", c.line}, c.code));
    EXPECT_EQ(w.files_in(w.dir()), c.code == 0 ? InstallWorld::kNewFiles : InstallWorld::kOldFiles);
  }
}

// Held through an upgrade: left to the next restart, never brought back by a later run.
// Deletions at the next restart only under a trash name, never on .update-old,
// which may hold the saved files of a later swap at that restart.
TEST(InstallFlow, SavedFilesHeldThroughTheUpgradeNeverComeBack) {
  InstallWorld w;
  w.scm.version_on_start = [&w] { hold_saved_dir(w); return w.files_in(w.dir())["velkvpn-helper.exe"]; };
  ASSERT_EQ(w.install(), 0);
  const std::filesystem::path trash = w.dir() / ".update-trash-1";
  EXPECT_EQ(w.files.at_restart, (std::vector<std::filesystem::path>{trash / "velkvpn-helper.exe", trash}));
  w.stage(InstallWorld::kNewFiles);
  w.files.busy["wintun.dll"] = {};
  EXPECT_EQ(w.install(), 23);
  EXPECT_EQ(w.files_in(w.dir()), InstallWorld::kNewFiles);
}

// A file that can be renamed but not deleted (read-only) after a confirmed
// upgrade: the saved files never come back, and a third release replaces
// exactly its own files.
TEST(InstallFlow, OldFileThatCannotBeDeletedNeverComesBack) {
  InstallWorld w;
  w.files.busy["wintun.dll"] = {-1, 32, FakeInstallFs::Held::deletions_only};
  ASSERT_EQ(w.install(), 0);
  EXPECT_FALSE(std::filesystem::exists(w.saved_dir()));
  w.files.busy.clear();
  w.stage({{"velkvpn-helper.exe", "0.1.8"}, {"velkvpn-engine.exe", "third engine"}});
  EXPECT_EQ(w.install(), 0);
  EXPECT_EQ(w.lines, with_frame(w, {"the running helper turned the VPN off", "installed and answering"}, 0));
  EXPECT_EQ(w.files_in(w.dir()), (FileMap{{"velkvpn-helper.exe", "0.1.8"},
                                          {"velkvpn-engine.exe", "third engine"},
                                          {"wintun.dll", "new wintun"}}));
  EXPECT_FALSE(std::filesystem::exists(w.dir() / ".update-trash-1")) << "trash is cleared by the next install";
}

// A crash in mid-swap: the new helper in place, the old engine saved and the
// new one still staged. The next run takes that back before it checks the
// stage, then installs it, or (the stage damaged meanwhile) restarts the old
// version whole.
TEST(InstallFlow, SwapInterruptedByACrashIsTakenBackFirst) {
  for (const bool damaged : {false, true}) {
    InstallWorld w;
    w.mark_swap();
    w.write(w.saved_dir() / "velkvpn-helper.exe", "0.1.7");
    std::filesystem::rename(w.stage_dir() / "velkvpn-helper.exe", w.dir() / "velkvpn-helper.exe");
    std::filesystem::rename(w.dir() / "velkvpn-engine.exe", w.saved_dir() / "velkvpn-engine.exe");
    if (damaged) w.write(w.stage_dir() / "wintun.dll", "new wintuN");
    EXPECT_EQ(w.install(), damaged ? 25 : 0);
    EXPECT_EQ(w.lines.at(2), "an earlier upgrade did not finish: restoring its saved files");
    if (damaged) {
      EXPECT_EQ(w.lines.at(3), "the new files are incomplete or damaged; the previous version is back");
      expect_old_version_in_service(w, false);
      EXPECT_EQ(w.files_in(w.stage_dir())["velkvpn-helper.exe"], "0.1.8") << "back in the stage";
    } else {
      expect_new_version_in_service(w);
    }
  }
}

TEST(InstallFlow, LeftoversOfAnUnfinishedUpgradeAreRestoredFirst) {
  InstallWorld w;
  // A crash after the helper had been swapped: its old file sits in .update-old.
  w.mark_swap();
  w.write(w.saved_dir() / "velkvpn-helper.exe", "0.1.7");
  w.write(w.dir() / "velkvpn-helper.exe", "half-installed");
  w.write(w.saved_dir() / "wintun.dll", "old wintun");
  w.files.busy["wintun.dll"] = {40};  // held through every attempt of the restore
  w.helper.silent = true;  // the new version then fails, so the old one must come back whole
  EXPECT_EQ(w.install(), 25);
  EXPECT_EQ(w.lines, with_frame(w, {"the running helper did not answer",
                                    "an earlier upgrade did not finish: restoring its saved files",
                                    "restoring wintun.dll: the file is in use",
                                    "the new service did not come up; restoring the previous version"}, 25));
  EXPECT_EQ(w.files_in(w.dir()), InstallWorld::kOldFiles);
}

TEST(InstallFlow, RetiredEngineIsMovedAsideAndComesBackOnRollback) {
  for (const bool comes_up : {true, false}) {
    InstallWorld w;
    w.write(w.dir() / "sing-box.exe", "retired");
    w.helper.silent = !comes_up;
    EXPECT_EQ(w.install(), comes_up ? 0 : 25);
    EXPECT_EQ(w.files_in(w.dir())["sing-box.exe"], comes_up ? "" : "retired");  // "": gone
  }
}

// A rollback that cannot finish: code 26, the saved helper kept in .update-old.
TEST(InstallFlow, RollbackThatCannotFinishKeepsTheSavedFiles) {
  for (const bool new_one_hangs : {true, false}) {
    InstallWorld w;
    if (new_one_hangs) w.stage({{"velkvpn-helper.exe", "0.1.9"}, {"velkvpn-engine.exe", "x"}});
    w.helper.silent = !new_one_hangs;
    w.scm.version_on_start = [&w, new_one_hangs] {
      if (new_one_hangs) {  // the new one hangs in its stop
        w.scm.stop_pending = true;
        w.scm.survives_taskkill = true;
      } else {  // after the swap the saved helper is held
        w.files.busy["velkvpn-helper.exe"] = {-1, 87};
      }
      return std::string(new_one_hangs ? "0.1.9" : "0.1.8");
    };
    EXPECT_EQ(w.install(), 26);
    EXPECT_TRUE(std::filesystem::exists(w.saved_dir() / "velkvpn-helper.exe"));
    EXPECT_TRUE(std::filesystem::exists(w.swap_mark())) << "the next run takes the saved files back";
    if (!new_one_hangs) continue;
    EXPECT_EQ(w.lines.at(w.lines.size() - 2), "the new service does not stop either; the new files stay, whole");
    EXPECT_EQ(w.files_in(w.dir())["velkvpn-helper.exe"], "0.1.9");
  }
}

// A mark counts only where no user can have written it; whatever the state
// directory, the install goes on, its mark private in the install directory.
TEST(InstallFlow, AMarkCountsOnlyWhereNoUserCanWriteIt) {
  using State = InstallWorld::StateDir;
  const struct {
    const char* name;
    State state;
    bool in_state_dir, private_file, honoured;
  } cases[] = {
      {"in the install directory, private; no state directory", State::none, false, true, true},
      {"in the helper's own state directory (an earlier release's)", State::own, true, false, true},
      {"in a --state-dir directory others may write", State::given, true, false, false},
      {"in the install directory, readable by users", State::own, false, false, false},
  };
  for (const auto& c : cases) {
    InstallWorld w;
    w.state = c.state;
    w.write(w.saved_dir() / "version.dll", "planted");
    const std::filesystem::path plain = c.in_state_dir ? w.state_dir() / "upgrade-swap.pending" : w.swap_mark();
    c.private_file ? w.mark_swap() : w.write(plain, w.dir().string());
    std::optional<bool> private_mark;  // when the new version starts, its files swapped in
    w.scm.version_on_start = [&w, &private_mark] {
      private_mark = std::filesystem::exists(w.swap_mark()) && !w.files.users_may_open(w.swap_mark());
      return w.files_in(w.dir())["velkvpn-helper.exe"];
    };
    EXPECT_EQ(w.install(), 0) << c.name;
    EXPECT_EQ(w.lines.at(2) == "an earlier upgrade did not finish: restoring its saved files", c.honoured) << c.name;
    EXPECT_EQ(w.files_in(w.dir()).contains("version.dll"), c.honoured) << c.name;
    EXPECT_EQ(private_mark, std::optional<bool>(true)) << c.name;
    EXPECT_FALSE(std::filesystem::exists(w.swap_mark())) << c.name;
  }
}

// While the new version is judged, no saved and no new file can be opened by
// a user (who could then hold it), so the rollback moves them all.
TEST(InstallFlow, NoUserCanHoldWhatARollbackMoves) {
  InstallWorld w;
  w.helper.silent = true;
  int held = 0;
  w.scm.version_on_start = [&w, &held] {
    for (const auto& [name, content] : InstallWorld::kNewFiles) {
      if (std::filesystem::exists(w.saved_dir())) {  // not when the old version starts again
        for (const auto& dir : {w.saved_dir(), w.dir()}) held += int(w.files.users_may_open(dir / name));
      }
    }
    return w.files_in(w.dir())["velkvpn-helper.exe"];
  };
  EXPECT_EQ(w.install(), 25);
  EXPECT_EQ(held, 0);
  expect_old_version_in_service(w);
}

// The line that states the outcome (the one before "result CODE") for each
// code one failure can lead to.
bool decision_line_fits(int code, const std::string& line) {
  switch (code) {
    case 0:
      return line == "installed and answering";
    case 21:
      return line == "the old service did not stop";
    case 23:
      return line.ends_with(" is in use");
    case 27:
      return line == "the install directory is not protected: its access list cannot be read; nothing was changed";
    case 25:
      return line == "replacing files: the file operation failed" ||
             line == "the new service did not come up; restoring the previous version";
    default:
      return false;
  }
}

// One failure at call N, for every call of a clean upgrade: whatever fails,
// the run ends with a code, its decision line and the result line, and either
// the new version or the old one is in service, files byte for byte. All the
// while another program holds the service open (any user may): it is never
// deleted, which could not finish.
TEST(InstallFlow, AFailureAtEveryCall) {
  int total = 0;
  {
    InstallWorld clean;
    clean.scm.keeps_handle_open = true;
    ASSERT_EQ(clean.install(), 0);
    total = clean.plan.calls;
  }
  ASSERT_GT(total, 30);
  std::map<int, int> codes;
  for (int n = 1; n <= total; ++n) {
    InstallWorld w;
    w.scm.keeps_handle_open = true;
    w.plan.fail_at = n;
    const int code = w.install();
    SCOPED_TRACE("failure at call " + std::to_string(n) + " (" + w.plan.failed + "), code " + std::to_string(code));
    ++codes[code];
    ASSERT_FALSE(w.lines.empty());
    EXPECT_EQ(w.lines.front(), "install 0.1.8 into " + w.dir().string());
    EXPECT_EQ(w.lines.back(), "result " + std::to_string(code));
    ASSERT_GE(w.lines.size(), 3u);
    EXPECT_TRUE(decision_line_fits(code, w.lines[w.lines.size() - 2])) << w.lines[w.lines.size() - 2];
    if (code == 0) {
      expect_new_version_in_service(w, w.plan.failed);
    } else {
      EXPECT_TRUE((code >= 21 && code <= 25) || code == 27) << "one failure never leaves a broken installation";
      expect_old_version_in_service(w, true, w.plan.failed);
    }
  }
  EXPECT_GT(codes[0], 0);
  EXPECT_GT(codes[25], 0);
}

}  // namespace
}  // namespace velk::test
