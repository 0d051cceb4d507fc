// The engine under Wine: the Windows stand-in started in the kill-on-close job
// without a window, its controller reached over Winsock, its standard error
// classified, a missing program, the handles it inherits, and the job ending
// the engine when the process holding the job is killed.

#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include <nlohmann/json.hpp>

#include "engine/controller_access.h"
#include "ipc/error_codes.h"
#include "platform/unique_handle_win32.h"
#include "platform/windows_args.h"
#include "process_runner.h"
#include "supervisor/controller_client.h"
#include "supervisor/engine_process.h"
#include "supervisor/job_object_win32.h"
#include "supervisor/output_reader.h"
#include "temp_dir.h"

namespace velk::test {
namespace {

using namespace std::chrono_literals;

std::filesystem::path standin_exe() { return test_binary_dir() / L"velkvpn-engine-standin.exe"; }

std::uint16_t free_loopback_port() {
  WSADATA data;
  if (WSAStartup(MAKEWORD(2, 2), &data) != 0) return 0;
  SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int len = sizeof addr;
  std::uint16_t port = 0;
  if (s != INVALID_SOCKET && bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
      getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len) == 0) {
    port = ntohs(addr.sin_port);
  }
  if (s != INVALID_SOCKET) closesocket(s);
  WSACleanup();
  return port;
}

class ScopedEnv {
 public:
  ScopedEnv(std::initializer_list<std::pair<const std::wstring, std::wstring>> vars) : vars_(vars) {
    for (const auto& [k, v] : vars_) SetEnvironmentVariableW(k.c_str(), v.c_str());
  }
  ~ScopedEnv() {
    for (const auto& [k, v] : vars_) SetEnvironmentVariableW(k.c_str(), nullptr);
  }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::vector<std::pair<const std::wstring, std::wstring>> vars_;
};

// The routes standin_config names.
const EngineRequest kStandinRoutes{{Route{.tag = "srv-1"}, Route{.tag = "srv-2"}}, "auto"};

std::string standin_config(const ControllerAccess& access) {
  nlohmann::json doc = {
      {"experimental",
       {{"clash_api",
         {{"external_controller", "127.0.0.1:" + std::to_string(access.port)}, {"secret", access.secret}}}}},
      {"outbounds",
       nlohmann::json::array({{{"default", "auto"},
                               {"outbounds", nlohmann::json::array({"auto", "srv-1", "srv-2"})},
                               {"tag", "proxy"},
                               {"type", "selector"}},
                              {{"outbounds", nlohmann::json::array({"srv-1", "srv-2"})},
                               {"tag", "auto"},
                               {"type", "urltest"}},
                              {{"tag", "srv-1"}, {"type", "vless"}},
                              {{"tag", "srv-2"}, {"type", "vless"}}})}};
  return doc.dump();
}

ControllerTimeouts quick() { return ControllerTimeouts{2000ms, 5000ms, 2000ms}; }

std::optional<std::string> await_member(const ControllerAccess& access, std::string_view group) {
  auto deadline = std::chrono::steady_clock::now() + 30s;
  for (;;) {
    if (auto m = current_member(access, group, quick())) return m;
    if (std::chrono::steady_clock::now() > deadline) return std::nullopt;
    std::this_thread::sleep_for(100ms);
  }
}

std::optional<nlohmann::json> await_record(const std::filesystem::path& path, std::chrono::seconds bound = 30s) {
  auto deadline = std::chrono::steady_clock::now() + bound;
  while (std::chrono::steady_clock::now() < deadline) {
    if (std::filesystem::exists(path)) {
      std::ifstream in(path, std::ios::binary);
      auto doc = nlohmann::json::parse(in, nullptr, false);
      if (!doc.is_discarded()) return doc;
    }
    std::this_thread::sleep_for(100ms);
  }
  return std::nullopt;
}

TEST(EngineWin32, StandinInTheJobServesItsController) {
  ControllerAccess access{free_loopback_port(), std::string(64, 'c')};
  ScopedEnv env({{L"VELK_STANDIN_DELAY_MS", L"srv-1=42,srv-2=timeout"}, {L"VELK_STANDIN_AUTO_CHECK_MS", L"0"}});
  auto launcher = make_engine_launcher();
  auto started = launcher->start(standin_exe());
  ASSERT_TRUE(started.ok()) << started.error();
  EngineProcess& p = **started;
  auto reader = OutputReader::start(p.take_error_output());
  EXPECT_TRUE(p.write_input_and_close(standin_config(access)));

  EXPECT_EQ(await_member(access, "proxy"), "auto");
  EXPECT_EQ(current_route(access, kStandinRoutes, quick()), "srv-1");  // "auto" has checked at once here
  EXPECT_TRUE(select_route(access, "srv-2", quick()).ok());
  EXPECT_EQ(current_route(access, kStandinRoutes, quick()), "srv-2");
  EXPECT_EQ(select_route(access, "srv-7", quick()).error(), err::engine_refused);
  auto delay = measure_route_delay(access, "srv-1", quick());
  ASSERT_TRUE(delay.ok());
  EXPECT_EQ(*delay, 42u);
  auto timed_out = controller_request(access, "GET", "/proxies/srv-2/delay?timeout=5000", std::nullopt, quick());
  ASSERT_TRUE(timed_out.ok());
  EXPECT_EQ(timed_out->status, 504u);
  EXPECT_EQ(timed_out->body, "{\"message\":\"Timeout\"}\n");
  ControllerAccess wrong{access.port, std::string(64, 'd')};
  auto unauthorized = controller_request(wrong, "GET", "/proxies/proxy", std::nullopt, quick());
  ASSERT_TRUE(unauthorized.ok());
  EXPECT_EQ(unauthorized->status, 401u);

  EXPECT_FALSE(p.has_exited());
  terminate_engine(p, system_clock());
  EXPECT_TRUE(p.has_exited());
  EXPECT_EQ(reader.join(), err::engine_exit);  // killed: nothing written
  EXPECT_EQ(current_member(access, "proxy", quick()), std::nullopt);
}

ErrorCode code_of_failing_standin(const std::wstring& scenario) {
  ScopedEnv env({{L"VELK_STANDIN_SCENARIO", scenario}});
  auto launcher = make_engine_launcher();
  auto started = launcher->start(standin_exe());
  if (!started.ok()) {
    ADD_FAILURE() << "stand-in did not start: " << started.error();
    return "";
  }
  auto reader = OutputReader::start((*started)->take_error_output());
  (*started)->write_input_and_close("{}");
  ErrorCode code = reader.join();
  (*started)->wait();
  return code;
}

TEST(EngineWin32, FailingStandinsStandardErrorIsClassified) {
  EXPECT_EQ(code_of_failing_standin(L"exit:FATAL[0000] decode config at stdin: dns.servers[0].server: json: unknown "
                                    L"field \"server\""),
            err::engine_config);
  EXPECT_EQ(code_of_failing_standin(L"exit:FATAL[0000] create service: initialize outbound[2]: x"), err::engine_config);
  EXPECT_EQ(code_of_failing_standin(L"exit:FATAL[0000] start service: start inbound/tun[tun-in]: configure tun "
                                    L"interface: Access is denied."),
            err::tun_permission);
  EXPECT_EQ(code_of_failing_standin(L"exit:FATAL[0000] start service: finish-start clash server: bind: in use"),
            err::engine_exit);
  EXPECT_EQ(code_of_failing_standin(L"exit:FATAL[0000] start service: operation not permitted"), err::tun_permission);
}

// An engine whose child keeps its standard error open: once the engine has
// exited, ending what is left in the job lets the reader finish with the
// engine's own words. Twice with one launcher: the job still holds the next
// engine after it was emptied.
TEST(EngineWin32, WhatTheEngineLeftInItsJobEndsAfterIt) {
  ScopedEnv env({{L"VELK_STANDIN_SCENARIO", L"exit:FATAL[0000] decode config at stdin: json: unknown field"},
                 {L"VELK_STANDIN_CHILD_SECONDS", L"120"}});
  auto launcher = make_engine_launcher();
  for (int round = 0; round < 2; ++round) {
    auto started = launcher->start(standin_exe());
    ASSERT_TRUE(started.ok()) << started.error();
    EngineProcess& p = **started;
    auto reader = OutputReader::start(p.take_error_output());
    p.write_input_and_close("{}");
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while (!p.has_exited() && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(50ms);
    ASSERT_TRUE(p.has_exited()) << "round " << round;
    p.end_leftovers();
    EXPECT_EQ(reader.join_within(system_clock(), kLastWordsPolls, kLastWordsPollStep),
              std::optional<ErrorCode>(err::engine_config))
        << "round " << round << ": the child still holds the engine's standard error";
  }
}

// The engine is inside its job from its creation, before anything could
// assign it: IsProcessInJob says so while it is still suspended.
TEST(EngineWin32, TheEngineIsCreatedInsideItsJob) {
  std::optional<HANDLE> made = create_kill_on_close_job();
  ASSERT_TRUE(made.has_value());
  UniqueHandle job(*made);
  SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
  UniqueHandle std_handles[3];
  for (UniqueHandle& h : std_handles) {
    h.reset(CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa,
                        OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(h);
  }
  const std::wstring app = standin_exe().wstring();
  SuspendedProcess created =
      create_suspended_process(app, L"\"" + app + L"\" run -c stdin --disable-color",
                               {std_handles[0].get(), std_handles[1].get(), std_handles[2].get()}, job.get());
  ASSERT_TRUE(created.process) << "error " << created.error;
  BOOL in_job = FALSE;
  ASSERT_TRUE(IsProcessInJob(created.process.get(), job.get(), &in_job));
  EXPECT_TRUE(in_job) << "created outside its job";
  EXPECT_TRUE(created.in_job);
  TerminateProcess(created.process.get(), 1);
  WaitForSingleObject(created.process.get(), 10000);
}

TEST(EngineWin32, MissingProgramIsEngineMissing) {
  TempDir dir;
  auto launcher = make_engine_launcher();
  auto r = launcher->start(dir.path() / L"velkvpn-engine.exe");
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error(), err::engine_missing);
  auto r2 = launcher->start(dir.path() / L"missing-dir" / L"velkvpn-engine.exe");
  ASSERT_FALSE(r2.ok());
  EXPECT_EQ(r2.error(), err::engine_missing);
}

TEST(EngineWin32, EngineInheritsOnlyItsStandardHandles) {
  // An inheritable pipe end of the test's own: if the engine inherited it, the
  // pipe would keep a writer after the test closes its end.
  SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
  UniqueHandle read_end, write_end;
  ASSERT_TRUE(CreatePipe(read_end.put(), write_end.put(), &sa, 0));
  ScopedEnv env({{L"VELK_STANDIN_SCENARIO", L"never_answer"}});
  auto launcher = make_engine_launcher();
  auto started = launcher->start(standin_exe());
  ASSERT_TRUE(started.ok());
  (*started)->write_input_and_close(standin_config({free_loopback_port(), "s"}));
  std::this_thread::sleep_for(300ms);
  ASSERT_FALSE((*started)->has_exited());  // alive, so whatever it inherited it still holds
  write_end.reset();
  DWORD available = 0;
  BOOL peek = PeekNamedPipe(read_end.get(), nullptr, 0, nullptr, &available, nullptr);
  DWORD e = GetLastError();
  EXPECT_FALSE(peek) << "the engine holds a handle it was not given";
  EXPECT_EQ(e, static_cast<DWORD>(ERROR_BROKEN_PIPE));
  terminate_engine(**started, system_clock());
}

// Run only as the child of JobKillOnClose below: starts a stand-in in its own
// engine job, then waits to be killed.
TEST(JobHolder, DISABLED_StartsAnEngineAndWaits) {
  if (GetEnvironmentVariableW(L"VELK_JOB_HOLDER", nullptr, 0) == 0) GTEST_SKIP();
  auto launcher = make_engine_launcher();
  auto started = launcher->start(standin_exe());
  ASSERT_TRUE(started.ok());
  (*started)->write_input_and_close(standin_config({free_loopback_port(), "s"}));
  std::this_thread::sleep_for(60s);
}

TEST(JobKillOnClose, EngineEndsWithTheProcessHoldingTheJob) {
  TempDir dir;
  auto record = dir.path() / L"standin.json";
  ScopedEnv env({{L"VELK_JOB_HOLDER", L"1"},
                 {L"VELK_STANDIN_SCENARIO", L"never_answer"},
                 {L"VELK_STANDIN_RECORD", record.wstring()}});

  wchar_t self[MAX_PATH * 4];
  DWORD n = GetModuleFileNameW(nullptr, self, static_cast<DWORD>(std::size(self)));
  std::vector<std::u16string> parts{std::u16string(self, self + n),
                                    u"--gtest_filter=JobHolder.DISABLED_StartsAnEngineAndWaits",
                                    u"--gtest_also_run_disabled_tests"};
  std::u16string line16 = join_windows_command_line(parts);
  std::wstring line(line16.begin(), line16.end());
  STARTUPINFOW si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  ASSERT_TRUE(CreateProcessW(self, line.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr, &si, &pi));
  UniqueHandle holder(pi.hProcess), holder_thread(pi.hThread);

  auto doc = await_record(record);
  if (!doc) TerminateProcess(holder.get(), 1);
  ASSERT_TRUE(doc.has_value()) << "the stand-in never started";
  DWORD pid = (*doc)["pid"].get<DWORD>();
  UniqueHandle engine(OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
  ASSERT_TRUE(engine) << "cannot open the stand-in";
  EXPECT_EQ(WaitForSingleObject(engine.get(), 0), static_cast<DWORD>(WAIT_TIMEOUT));

  // Kill the holder as a crash would: its job handle closes with it.
  ASSERT_TRUE(TerminateProcess(holder.get(), 1));
  WaitForSingleObject(holder.get(), 30000);
  DWORD gone = WaitForSingleObject(engine.get(), 15000);
  EXPECT_EQ(gone, static_cast<DWORD>(WAIT_OBJECT_0)) << "the engine outlived the process holding its job";
  if (gone != WAIT_OBJECT_0) TerminateProcess(engine.get(), 1);
}

}  // namespace
}  // namespace velk::test
