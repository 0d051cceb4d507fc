// Installing and upgrading for real: a first install, a clean upgrade with
// the service held open by another program, one from a relative directory
// over a read-only file, an upgrade under a running session with the kill
// switch, a new version that says another version, and the leftovers of an
// interrupted upgrade.

#include <gtest/gtest.h>

#include <fstream>

#include "helper_service.h"
#include "install_e2e.h"
#include "platform/text.h"
#include "process_environment.h"
#include "service_control.h"
#include "standin_view.h"

namespace velk::test {
namespace {

namespace fs = std::filesystem;

const Lines kUpgraded{kInstallLine, kVpnOff, "installed and answering", "result 0"};
const std::string kRegistered = "\"C:\\Program Files\\VELK VPN\\velkvpn-helper.exe\" --service";

// Another program's handle to the service, as any interactive user may open one.
ScHandle hold_service_open() {
  ScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  return ScHandle(OpenServiceW(manager.get(), L"VelkVpnHelper", SERVICE_QUERY_STATUS));
}

// The stage is made as a package's build makes it: the release's files in a
// folder of their own, staged by velk-make-stage.exe.
TEST_F(InstallE2e, FirstInstallIntoProgramFilesRegistersStartsAndAnswers) {
  const Files files = shipped();
  const fs::path release = fs::temp_directory_path() / L"velk-release";
  std::error_code ec;
  fs::remove_all(release, ec);
  fs::create_directories(release);
  for (const auto& [name, bytes] : files) std::ofstream(release / path_from_utf8(name), std::ios::binary) << bytes;
  ProcessResult made = run_program(test_binary_dir() / L"velk-make-stage.exe",
                                   {release.wstring(), (install_dir() / L".update-new").wstring()});
  fs::remove_all(release, ec);
  ASSERT_EQ(made.exit_code, 0u) << made.out << made.err;
  const Lines expected{kInstallLine, "installed and answering", "result 0"};
  install(0, expected);
  EXPECT_EQ(install_log(), expected);
  EXPECT_EQ(service_command_line(), kRegistered);

  std::optional<Status> s = status();
  ASSERT_TRUE(s);
  EXPECT_EQ(s->version, "0.1.8");
  EXPECT_EQ(files_in(install_dir()), digests(files));
  EXPECT_FALSE(fs::exists(install_dir() / L".update-new"));
  // The service and the installer agree on the state directory.
  EXPECT_EQ(environment_variable_of(service_status().dwProcessId, L"ProgramData"),
            std::optional<std::wstring>(state_dir().parent_path().wstring()));
}

// The service is registered in place, never deleted: a handle held elsewhere
// would keep a deleted one from going and a new one from being created.
TEST_F(InstallE2e, CleanUpgradeWhileAnotherProgramHoldsTheServiceOpen) {
  ASSERT_NO_FATAL_FAILURE(install_shipped());
  ScHandle held = hold_service_open();
  ASSERT_TRUE(held.get());
  Files next = shipped();
  next["readme.txt"] = "the next version\n";
  stage(next);
  install(0, kUpgraded);
  EXPECT_EQ(install_log(), kUpgraded);
  EXPECT_EQ(files_in(install_dir()), digests(next));
  EXPECT_FALSE(fs::exists(install_dir() / L".update-old"));
  EXPECT_EQ(service_command_line(), kRegistered);
  std::optional<Status> s = status();
  ASSERT_TRUE(s);
  EXPECT_EQ(s->version, "0.1.8");
}

// Run from C:\Program Files with "VELK VPN" over a read-only old file: the
// full path is registered, no saved files stay behind, and the next release
// installs exactly its own files.
TEST_F(InstallE2e, RelativeDirectoryAndReadOnlyOldFile) {
  ASSERT_NO_FATAL_FAILURE(install_shipped());
  ASSERT_TRUE(SetFileAttributesW((install_dir() / L"readme.txt").c_str(), FILE_ATTRIBUTE_READONLY));
  stage(shipped());
  wchar_t was[MAX_PATH];
  ASSERT_GT(GetCurrentDirectoryW(MAX_PATH, was), 0u);
  ASSERT_TRUE(SetCurrentDirectoryW(L"C:\\Program Files"));
  ProcessResult r = run({L"--install-from-stage", L"VELK VPN"});
  SetCurrentDirectoryW(was);
  EXPECT_EQ(lines_of(r.out), kUpgraded);
  EXPECT_EQ(service_command_line(), kRegistered);
  EXPECT_FALSE(fs::exists(install_dir() / L".update-old"));

  Files third = shipped();
  third["readme.txt"] = "the third version\n";
  stage(third);
  install(0, kUpgraded);
  EXPECT_EQ(files_in(install_dir()), digests(third));
}

TEST_F(InstallE2e, UpgradeUnderASessionWithTheKillSwitchTurnsItOff) {
  ASSERT_NO_FATAL_FAILURE(install_shipped());
  std::optional<Response> started = ask(start_line(true));
  ASSERT_TRUE(status_of(started) && status_of(started)->kill_switch == KillSwitch::armed) << describe(started);
  ASSERT_TRUE(fs::exists(state_dir() / L"killswitch.json"));

  stage(shipped());
  install(0, kUpgraded);
  std::optional<FilterView> after = view_filters();
  ASSERT_TRUE(after);
  EXPECT_EQ(after->filters, 0u) << describe(*after);
  EXPECT_FALSE(fs::exists(state_dir() / L"killswitch.json"));
  std::optional<Status> s = status();
  ASSERT_TRUE(s);
  EXPECT_EQ(s->kill_switch, KillSwitch::off);
  EXPECT_EQ(s->state, EngineState::stopped);
}

// A stage whose helper says 0.1.9: the new service never comes up as 0.1.8.
// With `interrupted`, an earlier upgrade crashed in mid-swap first: the engine
// was saved and a half-written one is in its place.
class OtherVersion : public InstallE2e, public ::testing::WithParamInterface<bool> {};

TEST_P(OtherVersion, IsRolledBackToWholeOldFiles) {
  const bool interrupted = GetParam();
  ASSERT_NO_FATAL_FAILURE(install_shipped());
  ScHandle held = hold_service_open();  // the old service is put back in place, not re-created
  if (interrupted) {
    fs::create_directories(install_dir() / L".update-old");
    fs::rename(install_dir() / L"velkvpn-engine.exe", install_dir() / L".update-old" / L"velkvpn-engine.exe");
    std::ofstream(install_dir() / L"velkvpn-engine.exe", std::ios::binary) << "half";
    std::ofstream(state_dir() / L"upgrade-swap.pending", std::ios::binary) << utf8_from_path(install_dir());
  }
  Files next = shipped();
  next["velkvpn-helper.exe"] = other_version_helper();
  stage(next);
  Lines expected{kInstallLine, kVpnOff, kRollback, "result 25"};
  if (interrupted) expected.insert(expected.begin() + 2, "an earlier upgrade did not finish: restoring its saved files");
  install(25, expected);
  EXPECT_EQ(files_in(install_dir()), installed_);
  EXPECT_EQ(files_in(install_dir() / L".update-new")["velkvpn-helper.exe"], digests(next)["velkvpn-helper.exe"])
      << "the stage can be installed again";
  EXPECT_FALSE(fs::exists(install_dir() / L".update-old"));
  std::optional<Status> s = status();
  ASSERT_TRUE(s);
  EXPECT_EQ(s->version, "0.1.8");
}

INSTANTIATE_TEST_SUITE_P(InstallE2e, OtherVersion, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "AfterAnInterruptedUpgrade" : "Alone"; });

}  // namespace
}  // namespace velk::test
