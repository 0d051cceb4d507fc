// What survives the service: a service stop keeps the block and its state
// file, the next start restores the block for the owner to renew; --recover
// from another process takes it away while the service runs.

#include <gtest/gtest.h>

#include <cstdio>
#include <thread>

#include "e2e_fixture.h"
#include "platform/durable_file.h"
#include "platform/windows_args.h"
#include "process_runner.h"
#include "service_control.h"

namespace velk::test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

TEST_F(HelperE2e, ServiceStopKeepsTheBlockAndTheNextStartRestoresIt) {
  ASSERT_NO_FATAL_FAILURE(start_running_session());
  const DWORD first_pid = helper().pid();
  const FilterView armed = filters();
  ASSERT_EQ(armed.pins.size(), 2u) << describe(armed);

  ASSERT_TRUE(helper().stop());
  EXPECT_TRUE(engine_children(first_pid).empty()) << "the engine outlived the service";
  FilterView kept = filters();
  EXPECT_EQ(kept.filters, armed.filters) << describe(kept);
  EXPECT_EQ(kept.pins, armed.pins);
  EXPECT_TRUE(std::filesystem::exists(helper().state_file()));

  ASSERT_TRUE(helper().start());
  EXPECT_NE(helper().pid(), first_pid);
  std::optional<Status> s = helper().status();
  ASSERT_TRUE(s);
  EXPECT_EQ(s->kill_switch, KillSwitch::armed);
  EXPECT_TRUE(s->needs_request);
  EXPECT_TRUE(s->wanted);
  EXPECT_EQ(s->state, EngineState::starting);
  EXPECT_EQ(s->session, Session::mine);
  EXPECT_EQ(s->selected, std::nullopt);
  EXPECT_TRUE(engine_children(helper().pid()).empty());
  // Restored without pins: nothing may reach a server until the owner sends start again.
  FilterView restored = filters();
  EXPECT_TRUE(restored.every_layer_blocked()) << describe(restored);
  EXPECT_TRUE(restored.pins.empty()) << describe(restored);

  std::optional<Response> off = helper().ask("{\"cmd\":\"emergency_off\"}");
  s = status_of(off);
  ASSERT_TRUE(s) << describe(off);
  EXPECT_EQ(s->kill_switch, KillSwitch::off);
  EXPECT_EQ(s->state, EngineState::stopped);
  EXPECT_EQ(filters().filters, 0u);
  EXPECT_FALSE(std::filesystem::exists(helper().state_file()));
}

TEST_F(HelperE2e, RecoverFromAnotherProcessDropsTheKillSwitchOfTheRunningService) {
  ASSERT_NO_FATAL_FAILURE(start_running_session());

  ProcessResult r = run_helper({L"--recover", L"--state-dir", helper().state_dir().wstring()});
  const Clock::time_point recovered = Clock::now();
  ASSERT_EQ(r.exit_code, 0u) << r.err;
  EXPECT_EQ(r.out, "VELK VPN no longer blocks the network.\n");
  EXPECT_FALSE(std::filesystem::exists(helper().state_file()));

  // The watcher finds its state file gone within its one-second round and lets go.
  std::optional<Status> s =
      helper().wait_status([](const Status& st) { return st.kill_switch == KillSwitch::off; }, 5s);
  const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - recovered);
  ASSERT_TRUE(s);
  EXPECT_EQ(s->kill_switch, KillSwitch::off);
  std::printf("the service let go of the kill switch %lld ms after --recover\n", static_cast<long long>(took.count()));
  EXPECT_LT(took, 3000ms) << "the watcher looks once a second";

  // The reset also drops the session, so the engine goes and the block stays away.
  s = helper().wait_status([](const Status& st) { return st.state == EngineState::stopped; }, 15s);
  ASSERT_TRUE(s);
  EXPECT_EQ(s->state, EngineState::stopped);
  EXPECT_FALSE(s->wanted);
  EXPECT_TRUE(engine_children(helper().pid()).empty());
  std::this_thread::sleep_for(1500ms);  // more than one watcher round
  FilterView f = filters();
  EXPECT_EQ(f.filters, 0u) << describe(f);
}

// A console run on the service's state directory, started while nothing is
// armed, and a second service on it end at once; the first one's kill switch
// stays as it was (the second one's watcher would delete the state file it
// never read, and the first one would then let go of the kill switch).
TEST_F(HelperE2e, SecondServingProcessOnTheSameStateDirectoryTouchesNothing) {
  ASSERT_NO_FATAL_FAILURE(start_service());
  const std::string refused =
      "velkvpn-helper: another helper already serves the state directory " + helper().state_dir().string() + "\n";
  const std::wstring other_pipe = L"\\\\.\\pipe\\velk-e2e-second-" + std::to_wstring(GetCurrentProcessId());
  ProcessResult console;
  std::thread second_console([&] {
    console = run_helper({L"--socket", other_pipe, L"--state-dir", helper().state_dir().wstring()}, 10000);
  });
  std::this_thread::sleep_for(1s);  // a serving second one would be up by now
  std::optional<Response> started = helper().ask(start_line(true));
  second_console.join();
  EXPECT_FALSE(console.timed_out) << "the second console run serves";
  EXPECT_EQ(console.exit_code, 30u);
  EXPECT_EQ(console.err + console.out, refused);
  ASSERT_TRUE(status_of(started) && status_of(started)->kill_switch == KillSwitch::armed) << describe(started);
  const FilterView armed = filters();
  ASSERT_TRUE(armed.every_layer_blocked()) << describe(armed);
  const std::optional<std::string> state = read_small_file(helper().state_file(), 1 << 20);
  ASSERT_TRUE(state);

  std::vector<std::u16string> parts{(test_binary_dir() / L"velkvpn-helper.exe").u16string(), u"--service",
                                    u"--socket", std::u16string(other_pipe.begin(), other_pipe.end()),
                                    u"--state-dir", helper().state_dir().u16string()};
  const std::u16string line = join_windows_command_line(parts);
  DWORD error = 0;
  std::optional<ServiceControl> second = ServiceControl::create(
      L"VelkVpnHelperE2E-second-" + std::to_wstring(GetCurrentProcessId()), std::wstring(line.begin(), line.end()),
      error);
  ASSERT_TRUE(second) << "CreateServiceW failed with " << error;
  EXPECT_FALSE(second->start(error, 15s)) << "the second service runs";
  ASSERT_TRUE(second->wait_for(SERVICE_STOPPED, 10s));
  EXPECT_EQ(second->query().dwWin32ExitCode, static_cast<DWORD>(ERROR_SERVICE_SPECIFIC_ERROR));
  EXPECT_EQ(second->query().dwServiceSpecificExitCode, 30u);

  std::this_thread::sleep_for(1500ms);  // more than one round of the first one's watcher
  const std::optional<Status> s = helper().status();
  ASSERT_TRUE(s);
  EXPECT_TRUE(s->kill_switch == KillSwitch::armed && s->wanted && s->session == Session::mine);
  const FilterView kept = filters();
  EXPECT_EQ(kept.filters, armed.filters) << describe(kept);
  EXPECT_EQ(kept.pins, armed.pins) << describe(kept);
  EXPECT_EQ(read_small_file(helper().state_file(), 1 << 20), state);
}

}  // namespace
}  // namespace velk::test
