// The engine thread against a fake launcher, controller and clock: readiness,
// the route in use, failures with their back-off, cancellation by a new
// request, and the removal of the kill switch after a stop.

#include "supervisor/engine_loop.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <limits>

#include "fake_engine_world.h"
#include "ipc/error_codes.h"
#include "standin_harness.h"
#include "supervisor/supervisor.h"
#include "supervisor/supervisor_system.h"

namespace velk {
namespace {

using namespace std::chrono_literals;
using test::FakeEngineWorld;
using test::kOwner;

constexpr char kTunRefused[] =
    "FATAL[0000] start service: start inbound/tun[tun-in]: configure tun interface: operation not permitted\n";
constexpr char kConfigRejected[] =
    "FATAL[0000] decode config at stdin: dns.servers[0].server: json: unknown field \"server\"\n";

struct EngineLoop : ::testing::Test {
  Supervisor& start(bool kill_switch = true, int routes = 2) {
    world.build();
    world.start_engine_thread();
    EXPECT_TRUE(sup().apply_request(kOwner, test::engine_request(routes), kill_switch));
    return sup();
  }
  Supervisor& sup() { return world.supervisor(); }
  bool eventually(const std::function<bool(const Status&)>& done) {
    return FakeEngineWorld::eventually([&] { return done(sup().status_for(kOwner)); });
  }
  FakeEngineWorld world;
};

TEST_F(EngineLoop, BecomesRunningWhenTheControllerFirstAnswers) {
  world.controller.set_member("proxy", "srv-1");
  start();
  ASSERT_TRUE(eventually([](const Status& s) { return s.state == EngineState::running; }));
  const Status s = sup().status_for(kOwner);
  EXPECT_EQ(s.active, "srv-1");
  EXPECT_EQ(s.error, std::nullopt);
  const auto launches = world.launcher.launches();
  ASSERT_EQ(launches.size(), 1u);
  EXPECT_EQ(launches[0].program, world.dir.path() / "velkvpn-engine.exe");
  // The configuration carries the fresh controller access.
  const std::string config = world.launcher.config_of(0).value_or("");
  EXPECT_NE(config.find(std::string(64, 'a')), std::string::npos);
  EXPECT_NE(config.find("127.0.0.1:40001"), std::string::npos);
}

TEST_F(EngineLoop, ReportsTheRouteTheLatencyGroupChose) {
  world.controller.set_member("proxy", "auto");
  world.controller.set_member("auto", "srv-0");
  start();
  ASSERT_TRUE(eventually([](const Status& s) { return s.active == "srv-0"; }));
  EXPECT_EQ(sup().snapshot().state, EngineState::running);
}

TEST_F(EngineLoop, ALatencyGroupWithoutAChoiceYetLeavesActiveAtAuto) {
  // Before its first check the latency-test group names "" as its member.
  world.controller.set_member("proxy", "auto");
  world.controller.set_member("auto", "");
  start();
  ASSERT_TRUE(eventually([](const Status& s) { return s.state == EngineState::running; }));
  EXPECT_EQ(sup().snapshot().active, "auto");
  // Once it has chosen, the next poll reports the choice.
  world.controller.set_member("auto", "srv-1");
  ASSERT_TRUE(eventually([](const Status& s) { return s.active == "srv-1"; }));
}

TEST_F(EngineLoop, ALatencyGroupThatDoesNotAnswerLeavesActiveAtAuto) {
  world.controller.set_member("proxy", "auto");
  start();
  ASSERT_TRUE(eventually([](const Status& s) { return s.state == EngineState::running; }));
  EXPECT_EQ(sup().snapshot().active, "auto");
}

TEST_F(EngineLoop, AsksTheControllerOnceASecondUntilTheTwentySecondLimit) {
  world.clock.set_manual_waits(true);  // hold the thread in the back-off
  start();
  ASSERT_TRUE(world.clock.await_waits(1));
  const Status s = sup().status_for(kOwner);
  EXPECT_EQ(s.error, "engine_timeout");
  EXPECT_EQ(s.state, EngineState::starting);
  EXPECT_EQ(world.launcher.killed(), 1);
  // Questions at 0, 1, ..., 19 s after the spawn; at 20 s the time is up.
  EXPECT_EQ(world.controller.member_questions().size(), 20u);
  EXPECT_EQ(world.clock.now() - world.launcher.launches()[0].at, 20s);
}

// A controller that accepts connections and never answers holds each
// question for as long as it may: no question outlasts the twenty seconds.
TEST_F(EngineLoop, ASilentControllerTimesOutTwentySecondsAfterTheStart) {
  world.clock.set_manual_waits(true);
  world.controller.set_silent([this](std::chrono::milliseconds limit) { world.clock.sleep_for(limit); });
  start();
  ASSERT_TRUE(world.clock.await_waits(1));
  EXPECT_EQ(sup().snapshot().error, "engine_timeout");
  // Questions at 0 s (12 s long) and 12.2 s (the 7.8 s left), the time-out one step later.
  EXPECT_EQ(world.controller.member_questions().size(), 2u);
  EXPECT_EQ(world.clock.now() - world.launcher.launches()[0].at, 20s + kEnginePollStep);
}

TEST_F(EngineLoop, AsksEveryThreeSecondsOnceReady) {
  world.clock.set_manual_waits(true);
  world.controller.set_member("proxy", "srv-0");
  world.launcher.push({.lifetime = 30s, .stderr_text = "FATAL[0000] router: lost\n"});
  start();
  ASSERT_TRUE(world.clock.await_waits(1));
  // At 0, 3, ..., 27 s; at 30 s the exit is seen first.
  EXPECT_EQ(world.controller.member_questions().size(), 10u);
  EXPECT_EQ(sup().snapshot().error, "engine_exit");
  EXPECT_EQ(sup().snapshot().active, std::nullopt);
}

TEST_F(EngineLoop, BacksOffTwoFourEightSixteenThenThirtySeconds) {
  world.clock.set_manual_waits(true);
  world.launcher.set_default({.start_error = err::engine_missing});
  start();
  const std::vector<Clock::duration> expected{2s, 4s, 8s, 16s, 30s, 30s, 30s};
  for (std::size_t i = 0; i < expected.size(); ++i) {
    ASSERT_TRUE(world.clock.await_waits(i + 1));
    const Status s = sup().status_for(kOwner);
    EXPECT_EQ(s.restarts, i + 1);
    EXPECT_EQ(s.error, "engine_missing");
    EXPECT_EQ(s.state, EngineState::starting);
    EXPECT_EQ(world.clock.waits()[i], expected[i]);
    EXPECT_EQ(world.launcher.launches().size(), i + 1);  // no new attempt before the wait ends
    world.clock.advance(expected[i]);
  }
}

TEST_F(EngineLoop, ARunOfSixtySecondsStartsTheFailureCountAfresh) {
  world.controller.set_member("proxy", "srv-0");
  world.launcher.push({.lifetime = 1s});
  world.launcher.push({.lifetime = 1s});
  world.launcher.push({.lifetime = 61s});
  start();
  ASSERT_TRUE(world.launcher.await_launches(4));
  const auto waits = world.clock.waits();
  ASSERT_GE(waits.size(), 3u);
  EXPECT_EQ(waits[0], 2s);
  EXPECT_EQ(waits[1], 4s);
  EXPECT_EQ(waits[2], 2s);  // restarts back to 1
  const auto launches = world.launcher.launches();
  EXPECT_EQ(launches[1].at - launches[0].at, 1s + 2s);
  EXPECT_EQ(launches[3].at - launches[2].at, 61s + 2s);
}

TEST_F(EngineLoop, ClassifiesEveryWayAnAttemptFails) {
  world.clock.set_manual_waits(true);
  world.launcher.push({.start_error = err::engine_spawn});
  world.launcher.push({.lifetime = 0s, .stderr_text = kTunRefused});
  world.launcher.push({.lifetime = 0s, .stderr_text = kConfigRejected});
  world.launcher.push({.start_error = "something_else"});
  start();
  const std::vector<std::string_view> codes{"engine_spawn", "tun_permission", "engine_config", "engine_spawn"};
  for (std::size_t i = 0; i < codes.size(); ++i) {
    ASSERT_TRUE(world.clock.await_waits(i + 1));
    EXPECT_EQ(sup().snapshot().error, codes[i]);
    if (i + 1 == codes.size()) world.fail_controller_access();
    world.clock.advance(30s);
  }
  ASSERT_TRUE(world.clock.await_waits(codes.size() + 1));
  EXPECT_EQ(sup().snapshot().error, "engine_controller");
  EXPECT_EQ(world.launcher.launches().size(), codes.size());  // no process without controller access
}

// A child of the engine that keeps its standard error open must not keep the
// thread from recording the exit: the leftovers are ended, then the reader
// gets about two seconds.
TEST_F(EngineLoop, AnExitIsRecordedWhateverKeepsTheEnginesStandardErrorOpen) {
  using Held = test::EngineScript::Held;
  const struct {
    Held held;
    const char* code;
  } cases[] = {
      {Held::until_leftovers_end, "engine_config"},  // ended with the engine's leftovers: nothing lost
      {Held::never_ends, "engine_exit"},             // something outside the tree: the reader is let go
  };
  for (const auto& c : cases) {
    FakeEngineWorld one;
    one.clock.set_manual_waits(true);
    one.launcher.push({.lifetime = 1s, .stderr_text = kConfigRejected, .output_held = c.held});
    Supervisor& sup = one.build();
    one.start_engine_thread();
    ASSERT_TRUE(sup.apply_request(kOwner, test::engine_request(1), true));
    ASSERT_TRUE(one.clock.await_waits(1)) << c.code;
    EXPECT_EQ(sup.snapshot().error, c.code);
    EXPECT_LE(one.clock.now() - one.launcher.launches()[0].at, 1s + 2s + kEnginePollStep);
    one.launcher.release_stuck();
    one.stop_threads();
  }
}

// `select` while the engine starts only records the choice; the engine gets
// it once its controller answers, and then reports that route in use.
TEST_F(EngineLoop, ASelectionMadeWhileStartingReachesTheEngine) {
  start(true, 2);  // selected "auto"; the controller does not answer yet
  ASSERT_TRUE(world.controller.await_member_questions(1));
  ASSERT_EQ(sup().snapshot().state, EngineState::starting);
  const Response r = sup().select(kOwner, "srv-1");
  ASSERT_TRUE(std::holds_alternative<Status>(r.value)) << std::get<Response::Error>(r.value).code;
  EXPECT_EQ(std::get<Status>(r.value).selected, "srv-1");
  EXPECT_TRUE(world.controller.requests().empty());

  world.controller.set_member("proxy", "auto");  // the engine is up, on its configured selection
  ASSERT_TRUE(eventually([](const Status& s) { return s.active == "srv-1"; }));
  const auto calls = world.controller.requests();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].method, "PUT");
  EXPECT_EQ(calls[0].body, R"({"name":"srv-1"})");
  // Handed over once: later polls find nothing to do.
  const std::size_t asked = world.controller.member_questions().size();
  ASSERT_TRUE(world.controller.await_member_questions(asked + 2));
  EXPECT_EQ(world.controller.requests().size(), 1u);
}

// Refused at the hand-over as a select to a running engine would be: the
// selection goes back to the one in use, the status says so, and it is not
// sent again.
TEST_F(EngineLoop, ASelectionRefusedAtTheHandOverIsReportedOnce) {
  start(true, 2);
  ASSERT_TRUE(world.controller.await_member_questions(1));
  ASSERT_TRUE(std::holds_alternative<Status>(sup().select(kOwner, "srv-1").value));
  world.controller.set_reply(ControllerReply{400, R"({"message":"Selector update error: not found"})"});
  world.controller.set_member("proxy", "srv-0");
  ASSERT_TRUE(eventually([](const Status& s) { return s.state == EngineState::running; }));
  const std::size_t asked = world.controller.member_questions().size();
  ASSERT_TRUE(world.controller.await_member_questions(asked + 2));
  const Status s = sup().status_for(kOwner);
  EXPECT_EQ(s.error, err::engine_refused);
  EXPECT_EQ(s.selected, "auto");
  EXPECT_EQ(s.active, "srv-0");
  EXPECT_EQ(world.controller.requests().size(), 1u);
}

// An engine that outlived both kills is not given up silently and may still
// run: after a stop the state stays "stopping" (never "stopped"), and a new
// request starts no engine beside it until it has ended; the kill switch goes
// as for any stop.
TEST_F(EngineLoop, NothingStartsBesideAnEngineThatOutlivedItsKills) {
  world.clock.set_manual_waits(true);
  world.launcher.push({.lifetime = 60s, .survives_kills = true});
  world.controller.set_member("proxy", "srv-0");
  start();
  ASSERT_TRUE(eventually([](const Status& s) { return s.state == EngineState::running; }));
  ASSERT_TRUE(sup().request_stop(kOwner));
  ASSERT_TRUE(world.clock.await_waits(1));  // the pause after a second round of kills
  const Status s = sup().status_for(kOwner);
  EXPECT_EQ(s.state, EngineState::stopping);
  EXPECT_EQ(s.error, err::engine_kill_failed);
  EXPECT_EQ(world.launcher.killed(), 0);
  EXPECT_EQ(s.kill_switch, KillSwitch::off);
  EXPECT_FALSE(sup().engine_idle());
  ASSERT_TRUE(sup().apply_request(kOwner, test::engine_request(1), false));
  world.clock.advance(kSurvivorRetry);
  ASSERT_TRUE(world.clock.await_waits(2));  // one more round of kills, and no start
  EXPECT_EQ(world.launcher.launches().size(), 1u);
  EXPECT_EQ(sup().status_for(kOwner).state, EngineState::starting);
  world.clock.advance(60s);
  ASSERT_TRUE(world.launcher.await_launches(2));
  EXPECT_GE(world.launcher.launches()[1].at - world.launcher.launches()[0].at, 60s);
  ASSERT_TRUE(eventually([](const Status& st) { return st.state == EngineState::running && !st.error; }));
}

TEST_F(EngineLoop, AReplaceDuringTheBackOffStartsAtOnce) {
  world.clock.set_manual_waits(true);
  world.controller.set_member("proxy", "srv-0");
  world.launcher.push({.start_error = err::engine_missing});
  start();
  ASSERT_TRUE(world.clock.await_waits(1));
  const Clock::time_point failed_at = world.clock.now();
  EngineRequest next = test::engine_request(1, "srv-0");
  next.routes[0].server = "192.0.2.44";
  ASSERT_TRUE(sup().apply_request(kOwner, next, false));
  ASSERT_TRUE(world.launcher.await_launches(2));
  const auto launches = world.launcher.launches();
  EXPECT_EQ(launches[1].at, failed_at);  // no time passed
  EXPECT_NE(world.launcher.config_of(1).value_or("").find("192.0.2.44"), std::string::npos);
  EXPECT_EQ(world.clock.waits().size(), 1u);
}

TEST_F(EngineLoop, AReplaceWhileRunningSwapsTheEngineWithoutCountingAFailure) {
  world.controller.set_member("proxy", "srv-0");
  start();
  ASSERT_TRUE(eventually([](const Status& s) { return s.state == EngineState::running; }));
  ASSERT_TRUE(sup().apply_request(kOwner, test::engine_request(1), false));
  ASSERT_TRUE(world.launcher.await_launches(2));
  EXPECT_EQ(world.launcher.killed(), 1);
  ASSERT_TRUE(eventually([](const Status& s) { return s.state == EngineState::running; }));
  const Status s = sup().status_for(kOwner);
  EXPECT_EQ(s.restarts, 0u);
  EXPECT_EQ(s.error, std::nullopt);
  EXPECT_TRUE(world.clock.waits().empty());
}

TEST_F(EngineLoop, StopTerminatesTheEngineThenRemovesTheKillSwitch) {
  world.controller.set_member("proxy", "srv-0");
  start();
  ASSERT_TRUE(eventually([](const Status& s) { return s.state == EngineState::running; }));
  bool engine_down_first = false;
  world.filters.on_call([&](test::FakeFilterOps::Call call) {
    if (call == test::FakeFilterOps::Call::remove) engine_down_first = world.launcher.alive() == 0;
  });
  ASSERT_TRUE(sup().request_stop(kOwner));
  ASSERT_TRUE(eventually([](const Status& s) { return s.state == EngineState::stopped; }));
  EXPECT_TRUE(engine_down_first);
  const Status s = sup().status_for(kOwner);
  EXPECT_EQ(s.kill_switch, KillSwitch::off);
  EXPECT_EQ(s.session, Session::none);
  EXPECT_EQ(s.error, std::nullopt);
  EXPECT_EQ(s.active, std::nullopt);
  EXPECT_FALSE(std::filesystem::exists(world.state_file()));
  EXPECT_TRUE(sup().engine_idle());
}

TEST_F(EngineLoop, AFailedRemovalAfterStopKeepsTheOwnerAndSaysSo) {
  world.controller.set_member("proxy", "srv-0");
  start();
  ASSERT_TRUE(eventually([](const Status& s) { return s.state == EngineState::running; }));
  world.filters.fail_remove(true);
  ASSERT_TRUE(sup().request_stop(kOwner));
  ASSERT_TRUE(eventually([](const Status& s) { return s.error == "killswitch_remove_failed"; }));
  ASSERT_TRUE(FakeEngineWorld::eventually([&] { return sup().engine_idle(); }));
  const Status s = sup().status_for(kOwner);
  EXPECT_EQ(s.session, Session::mine);
  EXPECT_EQ(s.kill_switch, KillSwitch::armed);
  EXPECT_FALSE(s.needs_request);
  EXPECT_EQ(s.state, EngineState::starting);  // stopped, reported as starting while engaged
  EXPECT_EQ(sup().check_session(test::kOtherUser).error(), err::not_session_owner);
}

TEST_F(EngineLoop, StopWithoutKillSwitchClearsTheOwner) {
  world.controller.set_member("proxy", "srv-0");
  start(/*kill_switch=*/false);
  ASSERT_TRUE(eventually([](const Status& s) { return s.state == EngineState::running; }));
  ASSERT_TRUE(sup().request_stop(kOwner));
  ASSERT_TRUE(eventually([](const Status& s) { return s.state == EngineState::stopped; }));
  EXPECT_TRUE(world.filters.installs().empty());
  const auto calls = world.filters.calls();
  EXPECT_EQ(std::count(calls.begin(), calls.end(), test::FakeFilterOps::Call::remove), 0);
  EXPECT_TRUE(sup().check_session(test::kOtherUser));
}

TEST(EngineBackoff, SaturatesAtThirtySeconds) {
  EXPECT_EQ(engine_backoff(1), 2s);
  EXPECT_EQ(engine_backoff(4), 16s);
  EXPECT_EQ(engine_backoff(5), 30s);
  EXPECT_EQ(engine_backoff(std::numeric_limits<std::uint32_t>::max()), 30s);
}


// The engine stand-in as a real child process: its standard error is read and
// classified, its controller polled, switched and asked for delays.
struct EngineThreadOnStandin : ::testing::Test {
  Supervisor& start(const std::string& selected = "auto") {
    world.engine_launcher = launcher.get();
    world.controller_client = &controller;
    world.engine_path = test::standin_path();
    world.real_controller_access = true;
    world.clock.set_manual_waits(true);
    world.clock.set_real_sleeps(true);  // the stand-in needs real time to come up
    world.build();
    world.start_engine_thread();
    EXPECT_TRUE(world.supervisor().apply_request(kOwner, test::engine_request(2, selected), true));
    return world.supervisor();
  }
  bool eventually(const std::function<bool(const Status&)>& done) {
    return FakeEngineWorld::eventually([&] { return done(world.supervisor().status_for(kOwner)); });
  }
  std::unique_ptr<EngineLauncher> launcher = make_engine_launcher();
  SystemControllerClient controller;
  FakeEngineWorld world;
};

TEST_F(EngineThreadOnStandin, ClassifiesWhatTheEngineWroteBeforeItExited) {
  const std::vector<std::pair<std::string, std::string>> cases{
      {std::string("exit:") + kConfigRejected, "engine_config"},
      {"exit:FATAL[0000] create service: initialize outbound[2]: missing fingerprint", "engine_config"},
      {std::string("exit:") + kTunRefused, "tun_permission"},
      {"exit:FATAL[0000] start service: open /dev/net/tun: Permission Denied", "tun_permission"},
      {"exit:FATAL[0000] start service: finish-start clash server: bind: address already in use", "engine_exit"},
      {"die_after:0.2", "engine_exit"},
  };
  for (const auto& [scenario, code] : cases) {
    // A child that inherits standard error and outlives the engine by far.
    test::ScopedEnv env{{"VELK_STANDIN_SCENARIO", scenario}, {"VELK_STANDIN_CHILD_SECONDS", "120"}};
    FakeEngineWorld one;
    one.engine_launcher = launcher.get();
    one.controller_client = &controller;
    one.engine_path = test::standin_path();
    one.real_controller_access = true;
    one.clock.set_manual_waits(true);
    one.clock.set_real_sleeps(true);
    Supervisor& sup = one.build();
    one.start_engine_thread();
    ASSERT_TRUE(sup.apply_request(kOwner, test::engine_request(1), false));
    const auto began = std::chrono::steady_clock::now();
    ASSERT_TRUE(one.clock.await_waits(1)) << scenario;
    EXPECT_LT(std::chrono::steady_clock::now() - began, 10s) << scenario;
    const Status s = sup.status_for(kOwner);
    EXPECT_EQ(s.error, code) << scenario;
    EXPECT_EQ(s.restarts, 1u);
    EXPECT_EQ(s.state, EngineState::starting);
    EXPECT_EQ(one.clock.waits()[0], 2s);
    one.stop_threads();
  }
}

TEST_F(EngineThreadOnStandin, AMissingExecutableIsRetriedWithBackOff) {
  world.engine_launcher = launcher.get();
  world.engine_path = world.dir.path() / "no-such-engine";
  world.clock.set_manual_waits(true);
  Supervisor& sup = world.build();
  world.start_engine_thread();
  ASSERT_TRUE(sup.apply_request(kOwner, test::engine_request(1), false));
  ASSERT_TRUE(world.clock.await_waits(1));
  EXPECT_EQ(sup.snapshot().error, "engine_missing");
  world.clock.advance(2s);
  ASSERT_TRUE(world.clock.await_waits(2));
  EXPECT_EQ(world.clock.waits()[1], 4s);
}

TEST_F(EngineThreadOnStandin, RunsSwitchesMeasuresAndStops) {
  test::ScopedEnv env{{"VELK_STANDIN_SCENARIO", "ok"}, {"VELK_STANDIN_DELAY_MS", "srv-1=120,*=fail"}};
  Supervisor& sup = start("srv-1");
  ASSERT_TRUE(eventually([](const Status& s) { return s.state == EngineState::running; }));
  EXPECT_EQ(sup.snapshot().active, "srv-1");

  const Response selected = sup.select(kOwner, "srv-0");
  ASSERT_TRUE(std::holds_alternative<Status>(selected.value));
  EXPECT_EQ(std::get<Status>(selected.value).selected, "srv-0");
  ASSERT_TRUE(eventually([](const Status& s) { return s.active == "srv-0"; }));

  EXPECT_EQ(std::get<Response::Delay>(sup.test_route(kOwner, "srv-1").value).ms, 120u);
  EXPECT_EQ(std::get<Response::Delay>(sup.test_route(kOwner, "srv-0").value).ms, std::nullopt);

  ASSERT_TRUE(sup.request_stop(kOwner));
  ASSERT_TRUE(eventually([](const Status& s) { return s.state == EngineState::stopped; }));
  EXPECT_EQ(sup.snapshot().kill_switch, KillSwitch::off);
  world.stop_threads();  // before the environment goes back
}

TEST_F(EngineThreadOnStandin, AnAutoGroupWithoutAChoiceIsReportedAsAuto) {
  test::ScopedEnv env{{"VELK_STANDIN_SCENARIO", "ok"}, {"VELK_STANDIN_AUTO_CHECK_MS", "never"}};
  Supervisor& sup = start("auto");
  ASSERT_TRUE(eventually([](const Status& s) { return s.state == EngineState::running; }));
  EXPECT_EQ(sup.snapshot().active, "auto");
  world.stop_threads();
}

}  // namespace
}  // namespace velk
