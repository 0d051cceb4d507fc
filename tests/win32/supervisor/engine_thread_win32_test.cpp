// The engine thread under Wine: the Windows engine stand-in started by the
// supervisor's engine thread in its job, its standard error classified, its
// controller polled and switched, and the engine ended by a stop.

#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "fake_engine_world.h"
#include "process_runner.h"
#include "supervisor/supervisor.h"
#include "supervisor/supervisor_system.h"

namespace velk::test {
namespace {

using namespace std::chrono_literals;

class ScopedVariable {
 public:
  ScopedVariable(const wchar_t* name, const std::wstring& value) : name_(name) {
    SetEnvironmentVariableW(name_, value.c_str());
  }
  ~ScopedVariable() { SetEnvironmentVariableW(name_, nullptr); }
  ScopedVariable(const ScopedVariable&) = delete;
  ScopedVariable& operator=(const ScopedVariable&) = delete;

 private:
  const wchar_t* name_;
};

// A supervisor whose engine thread runs the stand-in for real; only the
// filters and the back-off waits are fakes.
struct WineEngineRig {
  Supervisor& start(int routes, const std::string& selected) {
    world.engine_launcher = launcher.get();
    world.controller_client = &controller;
    world.engine_path = test_binary_dir() / L"velkvpn-engine-standin.exe";
    world.real_controller_access = true;
    world.clock.set_manual_waits(true);
    world.clock.set_real_sleeps(true);
    Supervisor& sup = world.build();
    world.start_engine_thread();
    EXPECT_TRUE(sup.apply_request(kOwner, engine_request(routes, selected), true));
    return sup;
  }
  std::unique_ptr<EngineLauncher> launcher = make_engine_launcher();
  SystemControllerClient controller;
  FakeEngineWorld world;
};

struct EngineThreadUnderWine : ::testing::Test, WineEngineRig {};

TEST(EngineThreadUnderWineExits, ClassifiesTheEnginesLastWords) {
  const std::vector<std::pair<std::wstring, std::string>> cases{
      {L"exit:FATAL[0000] decode config at stdin: json: unknown field \"server\"", "engine_config"},
      {L"exit:FATAL[0000] start service: start inbound/tun[tun-in]: configure tun interface: Access is denied.",
       "tun_permission"},
      {L"exit:FATAL[0000] start service: finish-start clash server: bind: in use", "engine_exit"},
  };
  // Each engine leaves a child holding its standard error open long after it.
  ScopedVariable child(L"VELK_STANDIN_CHILD_SECONDS", L"120");
  for (const auto& [scenario, code] : cases) {
    ScopedVariable env(L"VELK_STANDIN_SCENARIO", scenario);
    WineEngineRig one;
    Supervisor& sup = one.start(1, "auto");
    ASSERT_TRUE(one.world.clock.await_waits(1, 60s)) << code;
    EXPECT_EQ(sup.snapshot().error, code);
    EXPECT_EQ(sup.snapshot().restarts, 1u);
    one.world.stop_threads();
  }
}

TEST_F(EngineThreadUnderWine, RunsSwitchesAndStops) {
  ScopedVariable env(L"VELK_STANDIN_SCENARIO", L"ok");
  Supervisor& sup = start(2, "srv-1");
  ASSERT_TRUE(FakeEngineWorld::eventually([&] { return sup.snapshot().state == EngineState::running; }, 60s))
      << sup.snapshot().error.value_or("no error");
  EXPECT_EQ(sup.snapshot().active, "srv-1");
  const Response selected = sup.select(kOwner, "srv-0");
  ASSERT_TRUE(std::holds_alternative<Status>(selected.value));
  ASSERT_TRUE(FakeEngineWorld::eventually([&] { return sup.snapshot().active == "srv-0"; }, 60s));

  ASSERT_TRUE(sup.request_stop(kOwner));
  ASSERT_TRUE(FakeEngineWorld::eventually([&] { return sup.snapshot().state == EngineState::stopped; }, 60s));
  EXPECT_EQ(sup.snapshot().kill_switch, KillSwitch::off);
  world.stop_threads();
}

}  // namespace
}  // namespace velk::test
