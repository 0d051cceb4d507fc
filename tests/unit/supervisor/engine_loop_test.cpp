// The engine thread against a fake launcher, controller and clock: readiness,
// the route in use, failures with their back-off, cancellation by a new
// request, and the removal of the kill switch after a stop.

#include "supervisor/engine_loop.h"

#include <gtest/gtest.h>

#include <limits>

#include "fake_engine_world.h"
#include "ipc/error_codes.h"
#include "supervisor/supervisor.h"

namespace velk {
namespace {

using namespace std::chrono_literals;
using test::EngineScript;
using test::FakeEngineWorld;
using test::kOwner;

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
  EXPECT_EQ(launches[0].path, world.dir.path() / "velkvpn-engine.exe");
  // The configuration carries the fresh controller access.
  EXPECT_NE(launches[0].config.find(std::string(64, 'a')), std::string::npos);
  EXPECT_NE(launches[0].config.find("127.0.0.1:40001"), std::string::npos);
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
  EXPECT_EQ(world.launcher.terminations(), 1);
  // Questions at 0, 1, ..., 21 s after the spawn; at 21 s more than 20 s have passed.
  EXPECT_EQ(world.controller.member_questions().size(), 22u);
  EXPECT_EQ(world.clock.now() - world.launcher.launches()[0].at, 21s);
}

TEST_F(EngineLoop, AsksEveryThreeSecondsOnceReady) {
  world.clock.set_manual_waits(true);
  world.controller.set_member("proxy", "srv-0");
  world.launcher.push({.lifetime = 30s, .exit_code = err::engine_exit});
  start();
  ASSERT_TRUE(world.clock.await_waits(1));
  // At 0, 3, ..., 27 s; at 30 s the exit is seen first.
  EXPECT_EQ(world.controller.member_questions().size(), 10u);
  EXPECT_EQ(sup().snapshot().error, "engine_exit");
  EXPECT_EQ(sup().snapshot().active, std::nullopt);
}

TEST_F(EngineLoop, BacksOffTwoFourEightSixteenThenThirtySeconds) {
  world.clock.set_manual_waits(true);
  world.launcher.set_default({.launch_error = err::engine_missing});
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
  world.launcher.push({.lifetime = 1s, .exit_code = err::engine_config});
  world.launcher.push({.lifetime = 1s, .exit_code = err::engine_config});
  world.launcher.push({.lifetime = 61s, .exit_code = err::tun_permission});
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
  world.launcher.push({.launch_error = err::engine_spawn});
  world.launcher.push({.lifetime = 0s, .exit_code = err::tun_permission});
  world.launcher.push({.lifetime = 0s, .exit_code = err::engine_config});
  world.launcher.push({.launch_error = "something_else"});
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

TEST_F(EngineLoop, AReplaceDuringTheBackOffStartsAtOnce) {
  world.clock.set_manual_waits(true);
  world.controller.set_member("proxy", "srv-0");
  world.launcher.push({.launch_error = err::engine_missing});
  start();
  ASSERT_TRUE(world.clock.await_waits(1));
  const Clock::time_point failed_at = world.clock.now();
  EngineRequest next = test::engine_request(1, "srv-0");
  next.routes[0].server = "192.0.2.44";
  ASSERT_TRUE(sup().apply_request(kOwner, next, false));
  ASSERT_TRUE(world.launcher.await_launches(2));
  const auto launches = world.launcher.launches();
  EXPECT_EQ(launches[1].at, failed_at);  // no time passed
  EXPECT_NE(launches[1].config.find("192.0.2.44"), std::string::npos);
  EXPECT_EQ(world.clock.waits().size(), 1u);
}

TEST_F(EngineLoop, AReplaceWhileRunningSwapsTheEngineWithoutCountingAFailure) {
  world.controller.set_member("proxy", "srv-0");
  start();
  ASSERT_TRUE(eventually([](const Status& s) { return s.state == EngineState::running; }));
  ASSERT_TRUE(sup().apply_request(kOwner, test::engine_request(1), false));
  ASSERT_TRUE(world.launcher.await_launches(2));
  EXPECT_EQ(world.launcher.terminations(), 1);
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
  EXPECT_TRUE(world.filters.calls().empty());
  EXPECT_TRUE(sup().check_session(test::kOtherUser));
}

TEST(EngineBackoff, SaturatesAtThirtySeconds) {
  EXPECT_EQ(engine_backoff(1), 2s);
  EXPECT_EQ(engine_backoff(4), 16s);
  EXPECT_EQ(engine_backoff(5), 30s);
  EXPECT_EQ(engine_backoff(std::numeric_limits<std::uint32_t>::max()), 30s);
}

}  // namespace
}  // namespace velk
