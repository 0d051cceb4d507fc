// The kill-switch watcher: repairs of lost filters, the silent re-install on a
// tunnel change, and the reset when killswitch.json is deleted under it.

#include "killswitch/watcher.h"

#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <functional>
#include <future>
#include <thread>
#include <vector>

#include "fake_engine_world.h"
#include "ipc/error_codes.h"
#include "supervisor/supervisor.h"

namespace velk {
namespace {

using namespace std::chrono_literals;
using test::FakeEngineWorld;
using test::FakeFilterOps;
using test::kOwner;

Pin pin(std::string_view ip, std::uint16_t port) { return Pin{*IpAddress::parse(ip), port}; }

struct Watcher : ::testing::Test {
  void SetUp() override {
    world.build();
    ASSERT_TRUE(sup().apply_request(kOwner, test::engine_request(1), true));
    calls_before = world.filters.calls().size();
  }
  Supervisor& sup() { return world.supervisor(); }
  std::vector<FakeFilterOps::Call> new_calls() {
    auto calls = world.filters.calls();
    return {calls.begin() + static_cast<std::ptrdiff_t>(calls_before), calls.end()};
  }
  FakeEngineWorld world;
  std::size_t calls_before = 0;
};

TEST_F(Watcher, LeavesAnIntactKillSwitchAlone) {
  check_kill_switch(sup());
  EXPECT_EQ(new_calls(), (std::vector{FakeFilterOps::Call::tunnel_changed, FakeFilterOps::Call::intact}));
  EXPECT_EQ(sup().snapshot().error, std::nullopt);
}

TEST_F(Watcher, PutsLostFiltersBackAndSaysSo) {
  world.filters.break_layers(true);
  check_kill_switch(sup());
  EXPECT_EQ(world.filters.installs().back(), std::vector<Pin>{pin("10.0.0.1", 443)});
  EXPECT_EQ(sup().snapshot().error, "killswitch_restored");
  EXPECT_EQ(sup().store().armed_pins(), std::vector<Pin>{pin("10.0.0.1", 443)});
}

TEST_F(Watcher, ReportsFiltersItCannotPutBackEveryPass) {
  world.filters.break_layers(true);
  world.filters.fail_install(true);
  check_kill_switch(sup());
  EXPECT_EQ(sup().snapshot().error, "killswitch_lost");
  world.filters.fail_install(false);
  check_kill_switch(sup());
  EXPECT_EQ(sup().snapshot().error, "killswitch_restored");
}

TEST_F(Watcher, ReinstallsSilentlyWhenTheTunnelChanges) {
  world.filters.set_tunnel_changed(true);
  check_kill_switch(sup());
  EXPECT_EQ(new_calls(), (std::vector{FakeFilterOps::Call::tunnel_changed, FakeFilterOps::Call::install}));
  EXPECT_EQ(world.filters.installs().back(), std::vector<Pin>{pin("10.0.0.1", 443)});
  EXPECT_EQ(sup().snapshot().error, std::nullopt);

  world.filters.fail_install(true);
  check_kill_switch(sup());
  EXPECT_EQ(sup().snapshot().error, "killswitch_lost");
}

TEST_F(Watcher, ADeletedStateFileTurnsTheKillSwitchOffAndStopsTheEngine) {
  world.controller.set_member("proxy", "srv-0");
  world.start_engine_thread();
  ASSERT_TRUE(FakeEngineWorld::eventually([&] { return sup().snapshot().state == EngineState::running; }));
  std::filesystem::remove(world.state_file());  // --recover from another process

  check_kill_switch(sup());
  EXPECT_EQ(world.filters.installed(), std::nullopt);
  EXPECT_FALSE(sup().store().armed_in_memory());
  EXPECT_FALSE(sup().has_desired_request());
  ASSERT_TRUE(FakeEngineWorld::eventually([&] { return sup().snapshot().state == EngineState::stopped; }));
  EXPECT_EQ(world.launcher.killed(), 1);
  const Status s = sup().status_for(kOwner);
  EXPECT_EQ(s.kill_switch, KillSwitch::off);
  EXPECT_EQ(s.session, Session::none);
  EXPECT_FALSE(s.wanted);
  // The next pass finds nothing armed and changes nothing.
  const auto installs = world.filters.installs().size();
  check_kill_switch(sup());
  EXPECT_EQ(world.filters.installs().size(), installs);
  EXPECT_EQ(sup().status_for(kOwner).kill_switch, KillSwitch::off);
}

// The file goes while the filters cannot: the status keeps reading armed with
// the reason, for its owner, and the turn-off completes once they can go.
TEST_F(Watcher, ADeletedStateFileWhoseFiltersCannotGoStaysArmedUntilTheyDo) {
  std::filesystem::remove(world.state_file());
  world.filters.fail_remove(true);
  for (int pass = 0; pass < 2; ++pass) {
    check_kill_switch(sup());
    const Status s = sup().status_for(kOwner);
    EXPECT_EQ(s.kill_switch, KillSwitch::armed);
    EXPECT_EQ(s.error, err::killswitch_remove_failed);
    EXPECT_EQ(s.session, Session::mine);
    EXPECT_FALSE(s.needs_request);
  }
  EXPECT_EQ(world.filters.installs().size(), 1u);  // only the arming: nothing put back
  world.filters.fail_remove(false);
  check_kill_switch(sup());
  EXPECT_FALSE(world.filters.installed());
  const Status s = sup().status_for(kOwner);
  EXPECT_EQ(s.kill_switch, KillSwitch::off);
  EXPECT_EQ(s.error, std::nullopt);
  EXPECT_EQ(s.session, Session::none);
}

// The owner's stop whose removal failed stands: passes neither restore nor
// repair, nothing asks for a request, and the stop completes by itself.
TEST(WatcherAfterAStop, AFailedRemovalIsCompletedNeverUndone) {
  FakeEngineWorld world;
  world.filters.fail_install(true);
  std::ofstream(world.state_file()) << R"({"version":1,"pins":{},"owner":"S-1-5-21-7-7-7-1001"})";
  Supervisor& sup = world.build();  // the restore fails: "killswitch_lost"
  world.filters.preinstall({});     // what an earlier run left in force
  world.filters.fail_install(false);
  world.filters.fail_remove(true);
  world.filters.break_layers(true);
  const auto installs = world.filters.installs().size();
  world.start_engine_thread();
  ASSERT_TRUE(sup.request_stop(kOwner));
  ASSERT_TRUE(FakeEngineWorld::eventually(
      [&] { return sup.status_for(kOwner).error == std::optional<std::string>(err::killswitch_remove_failed); }));
  for (int pass = 0; pass < 3; ++pass) {
    check_kill_switch(sup);
    const Status s = sup.status_for(kOwner);
    EXPECT_EQ(s.error, err::killswitch_remove_failed);
    EXPECT_FALSE(s.needs_request);
    EXPECT_EQ(s.kill_switch, KillSwitch::armed);
  }
  EXPECT_EQ(world.filters.installs().size(), installs);
  world.filters.fail_remove(false);
  check_kill_switch(sup);
  const Status s = sup.status_for(kOwner);
  EXPECT_EQ(s.kill_switch, KillSwitch::off);
  EXPECT_EQ(s.session, Session::none);
  EXPECT_FALSE(world.filters.installed());
  EXPECT_FALSE(std::filesystem::exists(world.state_file()));
}

// Between a stop and its disarm a pass neither repairs nor reports.
TEST_F(Watcher, LeavesAStopInProgressAlone) {
  world.filters.break_layers(true);
  ASSERT_TRUE(sup().request_stop(kOwner));
  check_kill_switch(sup());
  EXPECT_EQ(world.filters.installs().size(), 1u);
  EXPECT_EQ(sup().snapshot().error, std::nullopt);
}

TEST(WatcherRestore, AFailedRestoreReadsLostAndIsRetriedEveryPassUntilItWorks) {
  FakeEngineWorld world;
  world.filters.fail_install(true);
  std::ofstream(world.state_file()) << R"({"version":1,"pins":{},"owner":"S-1-5-21-7-7-7-1001"})";
  Supervisor& sup = world.build();
  EXPECT_EQ(sup.status_for(kOwner).error, "killswitch_lost");
  for (int pass = 0; pass < 2; ++pass) {
    const auto installs = world.filters.installs().size();
    check_kill_switch(sup);
    EXPECT_EQ(world.filters.installs().size(), installs + 1) << "pass " << pass;
    EXPECT_EQ(sup.snapshot().error, "killswitch_lost");
    EXPECT_FALSE(sup.store().armed_in_memory());
  }
  world.filters.fail_install(false);
  check_kill_switch(sup);
  EXPECT_EQ(world.filters.installed(), std::vector<Pin>{});
  EXPECT_EQ(sup.store().armed_pins(), std::vector<Pin>{});
  const Status s = sup.status_for(kOwner);
  EXPECT_EQ(s.error, "killswitch_restored");
  EXPECT_EQ(s.kill_switch, KillSwitch::armed);
  EXPECT_TRUE(s.needs_request);
}

// With nothing engaged a pass arms nothing: broken layers and a new tunnel
// are none of its business, and a state file that appears (a --state-dir
// others can write) names no owner and goes. Filters with nothing to account
// for them read armed with the reason, until someone removes them.
TEST(WatcherIdle, ArmsNothingAndReadsStrayFiltersArmedWithTheReason) {
  struct Row {
    const char* what;
    std::function<void(FakeEngineWorld&)> plant;
    KillSwitch kill_switch;
    std::optional<std::string> error;
  };
  const std::vector<Row> rows{
      {"broken layers, new tunnel",
       [](FakeEngineWorld& w) { w.filters.break_layers(true), w.filters.set_tunnel_changed(true); }, KillSwitch::off,
       std::nullopt},
      {"a state file from elsewhere",
       [](FakeEngineWorld& w) {
         std::ofstream(w.state_file()) << R"({"version":1,"pins":{},"owner":"S-1-5-21-7-7-7-1002"})";
       },
       KillSwitch::off, std::nullopt},
      {"stray filters", [](FakeEngineWorld& w) { w.filters.preinstall({}); }, KillSwitch::armed,
       std::string(err::killswitch_orphaned)},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    FakeEngineWorld world;
    Supervisor& sup = world.build();
    row.plant(world);
    check_kill_switch(sup);
    EXPECT_TRUE(world.filters.installs().empty());
    EXPECT_FALSE(std::filesystem::exists(world.state_file()));
    const Status s = sup.status_for(kOwner);
    EXPECT_EQ(s.kill_switch, row.kill_switch);
    EXPECT_EQ(sup.snapshot().error, row.error);
    EXPECT_NE(s.session, Session::mine);
    (void)world.filters.remove_filters();
    check_kill_switch(sup);
    EXPECT_EQ(sup.snapshot().kill_switch, KillSwitch::off);
    EXPECT_EQ(sup.snapshot().error, std::nullopt);
  }
}

TEST_F(Watcher, WaitsForAnArmingInProgressThenSeesItsPins) {
  std::future<void> pass;
  std::atomic<bool> started{false};
  bool pass_waited = false;
  world.filters.on_call([&](FakeFilterOps::Call call) {
    if (call != FakeFilterOps::Call::install || started.exchange(true)) return;
    // Inside the arming: a watcher pass must wait for the operation lock.
    pass = std::async(std::launch::async, [&] { check_kill_switch(sup()); });
    pass_waited = pass.wait_for(50ms) == std::future_status::timeout;
  });
  world.filters.set_tunnel_changed(true);
  EngineRequest moved = test::engine_request(1);
  moved.routes[0].server = "192.0.2.7";
  ASSERT_TRUE(sup().apply_request(kOwner, moved, true));
  pass.get();
  EXPECT_TRUE(pass_waited);
  // The pass re-installed the new pins.
  const auto installs = world.filters.installs();
  ASSERT_EQ(installs.size(), 3u);
  EXPECT_EQ(installs[2], std::vector<Pin>{pin("192.0.2.7", 443)});
}

TEST_F(Watcher, RunsOnePassPerSecond) {
  world.clock.set_manual_sleeps(true);
  world.filters.break_layers(true);
  world.start_watcher_thread();
  ASSERT_TRUE(world.clock.await_sleeps(1));
  world.clock.advance(999ms);
  std::this_thread::sleep_for(20ms);
  EXPECT_TRUE(new_calls().empty());
  world.clock.advance(1ms);
  ASSERT_TRUE(world.clock.await_sleeps(2));
  EXPECT_EQ(sup().snapshot().error, "killswitch_restored");
  EXPECT_EQ(world.filters.installs().size(), 2u);  // the arming, then one repair
}

}  // namespace
}  // namespace velk
