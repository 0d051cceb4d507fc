// Installing and upgrading for real: a first install, a clean upgrade, an
// upgrade under a running session with the kill switch, a new version that
// says another version, and the leftovers of an interrupted upgrade.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <thread>

#include "helper_service.h"
#include "install_e2e.h"
#include "platform/text.h"
#include "process_environment.h"
#include "service_control.h"
#include "standin_view.h"

namespace velk::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

const std::string kInstallLine = "install 0.1.8 into C:\\Program Files\\VELK VPN";

std::string narrow(const wchar_t* w) { return utf8_from_utf16(reinterpret_cast<const char16_t*>(w)); }

TEST_F(InstallE2e, FirstInstallIntoProgramFilesRegistersStartsAndAnswers) {
  const Files files = shipped();
  stage(files);
  ProcessResult r = run({L"--install-from-stage", install_dir().wstring()});
  const Lines expected{kInstallLine, "installed and answering", "result 0"};
  EXPECT_EQ(r.exit_code, 0u) << r.out;
  EXPECT_EQ(lines_of(r.out), expected);
  EXPECT_EQ(install_log(), expected);

  ScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  ScHandle service(OpenServiceW(manager.get(), L"VelkVpnHelper", SERVICE_QUERY_CONFIG));
  ASSERT_TRUE(service.get());
  alignas(QUERY_SERVICE_CONFIGW) BYTE buffer[8192];
  DWORD needed = 0;
  ASSERT_TRUE(QueryServiceConfigW(service.get(), reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer), sizeof buffer, &needed));
  const auto* c = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer);
  EXPECT_EQ(c->dwServiceType, static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS));
  EXPECT_EQ(c->dwStartType, static_cast<DWORD>(SERVICE_AUTO_START));
  EXPECT_EQ(c->dwErrorControl, static_cast<DWORD>(SERVICE_ERROR_NORMAL));
  EXPECT_EQ(narrow(c->lpBinaryPathName), "\"C:\\Program Files\\VELK VPN\\velkvpn-helper.exe\" --service");
  EXPECT_EQ(narrow(c->lpDisplayName), "VELK VPN helper");
  wchar_t deps[64] = {};
  DWORD size = sizeof deps;
  EXPECT_EQ(RegGetValueW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Services\\VelkVpnHelper", L"DependOnService",
                         RRF_RT_REG_MULTI_SZ, nullptr, deps, &size),
            ERROR_SUCCESS);
  EXPECT_EQ(std::wstring(deps, size / sizeof(wchar_t)), std::wstring(L"BFE\0\0", 5));

  EXPECT_EQ(service_status().dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
  std::optional<Status> s = status();
  ASSERT_TRUE(s);
  EXPECT_EQ(s->version, "0.1.8");
  EXPECT_EQ(files_in(install_dir()), digests(files));
  EXPECT_FALSE(fs::exists(install_dir() / L".update-new"));
  EXPECT_FALSE(fs::exists(install_dir() / L".update-old"));
  // The service and the installer agree on the state directory.
  EXPECT_EQ(environment_variable_of(service_status().dwProcessId, L"ProgramData"),
            std::optional<std::wstring>(state_dir().parent_path().wstring()));
}

TEST_F(InstallE2e, CleanUpgradeOfAnAnsweringHelperWritesFourLines) {
  ASSERT_NO_FATAL_FAILURE(install_shipped());
  Files next = shipped();
  next["readme.txt"] = "the next version\n";
  stage(next);
  const auto begun = std::chrono::steady_clock::now();
  ProcessResult r = run({L"--install-from-stage", install_dir().wstring()});
  const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - begun);
  std::printf("a clean upgrade took %lld ms from the call to the result line\n", static_cast<long long>(took.count()));
  const Lines expected{kInstallLine, "the running helper turned the VPN off", "installed and answering", "result 0"};
  EXPECT_EQ(r.exit_code, 0u);
  EXPECT_EQ(lines_of(r.out), expected);
  EXPECT_EQ(install_log(), expected);
  EXPECT_EQ(files_in(install_dir()), digests(next));
  std::optional<Status> s = status();
  ASSERT_TRUE(s);
  EXPECT_EQ(s->version, "0.1.8");
}

TEST_F(InstallE2e, UpgradeUnderASessionWithTheKillSwitchTurnsItOff) {
  ASSERT_NO_FATAL_FAILURE(install_shipped());
  std::optional<Response> started = ask(start_line(true));
  std::optional<Status> s = status_of(started);
  ASSERT_TRUE(s) << describe(started);
  ASSERT_EQ(s->kill_switch, KillSwitch::armed);
  std::optional<FilterView> armed = view_filters();
  ASSERT_TRUE(armed && armed->filters > 0);
  ASSERT_TRUE(fs::exists(state_dir() / L"killswitch.json"));

  stage(shipped());
  ProcessResult r = run({L"--install-from-stage", install_dir().wstring()});
  EXPECT_EQ(r.exit_code, 0u) << r.out;
  EXPECT_EQ(lines_of(r.out),
            (Lines{kInstallLine, "the running helper turned the VPN off", "installed and answering", "result 0"}));
  std::optional<FilterView> after = view_filters();
  ASSERT_TRUE(after);
  EXPECT_EQ(after->filters, 0u) << describe(*after);
  EXPECT_FALSE(fs::exists(state_dir() / L"killswitch.json"));
  s = status();
  ASSERT_TRUE(s);
  EXPECT_EQ(s->kill_switch, KillSwitch::off);
  EXPECT_EQ(s->state, EngineState::stopped);
}

TEST_F(InstallE2e, NewVersionSayingAnotherVersionIsRolledBack) {
  ASSERT_NO_FATAL_FAILURE(install_shipped());
  const Digests before = files_in(install_dir());
  Files next = shipped();
  next["velkvpn-helper.exe"] = other_version_helper();
  stage(next);
  ProcessResult r = run({L"--install-from-stage", install_dir().wstring()});
  EXPECT_EQ(r.exit_code, 25u) << r.out;
  EXPECT_EQ(lines_of(r.out), (Lines{kInstallLine, "the running helper turned the VPN off",
                                    "the new service did not come up; restoring the previous version", "result 25"}));
  EXPECT_EQ(files_in(install_dir()), before);
  EXPECT_EQ(files_in(install_dir() / L".update-new")["velkvpn-helper.exe"], digests(next)["velkvpn-helper.exe"])
      << "the stage can be installed again";
  EXPECT_FALSE(fs::exists(install_dir() / L".update-old"));
  std::optional<Status> s = status();
  ASSERT_TRUE(s);
  EXPECT_EQ(s->version, "0.1.8");
}

TEST_F(InstallE2e, LeftoversOfAnInterruptedUpgradeAreRestoredFirst) {
  ASSERT_NO_FATAL_FAILURE(install_shipped());
  const Digests before = files_in(install_dir());
  // A crash in mid-swap: the engine was saved, a half-written one is in place.
  fs::create_directories(install_dir() / L".update-old");
  fs::rename(install_dir() / L"velkvpn-engine.exe", install_dir() / L".update-old" / L"velkvpn-engine.exe");
  std::ofstream(install_dir() / L"velkvpn-engine.exe", std::ios::binary) << "half";
  Files next = shipped();
  next["velkvpn-helper.exe"] = other_version_helper();  // fails, so the old files must come back whole
  stage(next);
  ProcessResult r = run({L"--install-from-stage", install_dir().wstring()});
  EXPECT_EQ(r.exit_code, 25u) << r.out;
  const Lines lines = lines_of(r.out);
  ASSERT_GE(lines.size(), 3u);
  EXPECT_EQ(lines[2], "an earlier upgrade did not finish: restoring its saved files");
  EXPECT_EQ(files_in(install_dir()), before);
}

}  // namespace
}  // namespace velk::test
