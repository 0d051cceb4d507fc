// The supervisor's status and session rules, the order in which a start arms
// the kill switch, emergency off, select and test_route.

#include "supervisor/supervisor.h"

#include <gtest/gtest.h>

#include <fstream>
#include <future>
#include <sstream>

#include "fake_engine_world.h"
#include "ipc/error_codes.h"
#include "killswitch/armed_state.h"
#include "supervisor/request_loop.h"

namespace velk {
namespace {

using namespace std::chrono_literals;
using test::FakeEngineWorld;
using test::kAdmin;
using test::kOtherUser;
using test::kOwner;

Pin pin(std::string_view ip, std::uint16_t port) { return Pin{*IpAddress::parse(ip), port}; }

std::string read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

const Status& status_of(const Response& response) { return std::get<Status>(response.value); }
std::string error_of(const Response& response) { return std::get<Response::Error>(response.value).code; }

// The owner's session with an engine that failed once and waits in its back-off.
struct FailedSession : ::testing::Test {
  void SetUp() override {
    world.clock.set_manual_waits(true);
    world.launcher.set_default({.start_error = err::engine_missing});
    world.build();
    world.start_engine_thread();
    ASSERT_TRUE(sup().apply_request(kOwner, test::engine_request(2, "srv-1"), true));
    ASSERT_TRUE(world.clock.await_waits(1));
  }
  Supervisor& sup() { return world.supervisor(); }
  FakeEngineWorld world;
};

TEST_F(FailedSession, OwnerSeesEverything) {
  const Status s = sup().status_for(kOwner);
  EXPECT_EQ(s.session, Session::mine);
  EXPECT_TRUE(s.wanted);
  EXPECT_EQ(s.state, EngineState::starting);
  EXPECT_EQ(s.selected, "srv-1");
  EXPECT_EQ(s.error, "engine_missing");
  EXPECT_EQ(s.restarts, 1u);
  EXPECT_EQ(s.kill_switch, KillSwitch::armed);
  EXPECT_FALSE(s.needs_request);
}

TEST_F(FailedSession, OtherUserSeesOnlyThatSomeoneElseIsEngaged) {
  const Status s = sup().status_for(kOtherUser);
  EXPECT_EQ(s.session, Session::other);
  EXPECT_TRUE(s.wanted);
  EXPECT_EQ(s.kill_switch, KillSwitch::armed);
  EXPECT_EQ(s.selected, std::nullopt);
  EXPECT_EQ(s.active, std::nullopt);
  EXPECT_EQ(s.error, std::nullopt);
  EXPECT_EQ(s.restarts, 0u);
  EXPECT_FALSE(s.needs_request);
}

TEST_F(FailedSession, ElevatedNonOwnerSeesDetailsButNotTheSession) {
  const Status s = sup().status_for(kAdmin);
  EXPECT_EQ(s.session, Session::other);
  EXPECT_EQ(s.selected, "srv-1");
  EXPECT_EQ(s.error, "engine_missing");
  EXPECT_EQ(s.restarts, 1u);
}

TEST_F(FailedSession, OtherUserMayNotChangeIt) {
  const auto installs = world.filters.installs().size();
  EXPECT_EQ(sup().request_stop(kOtherUser).error(), err::not_session_owner);
  EXPECT_EQ(sup().apply_request(kOtherUser, test::engine_request(1), true).error(), err::not_session_owner);
  EXPECT_EQ(sup().check_session(kOtherUser).error(), err::not_session_owner);
  EXPECT_EQ(error_of(sup().select(kOtherUser, "auto")), err::not_session_owner);
  EXPECT_EQ(error_of(sup().test_route(kOtherUser, "auto")), err::not_session_owner);
  EXPECT_TRUE(sup().has_desired_request());
  EXPECT_EQ(world.filters.installs().size(), installs);
  EXPECT_EQ(sup().status_for(kOwner).selected, "srv-1");
}

TEST_F(FailedSession, ElevatedNonOwnerStartsWithoutTakingTheSession) {
  ASSERT_TRUE(sup().apply_request(kAdmin, test::engine_request(1, "srv-0"), true));
  EXPECT_EQ(sup().status_for(kOwner).session, Session::mine);
  EXPECT_EQ(sup().status_for(kAdmin).session, Session::other);
  EXPECT_EQ(armed_state_from_json(read_file(world.state_file()))->owner, kOwner.sid);
  EXPECT_EQ(sup().status_for(kOwner).selected, "srv-0");
  // The commit reset the count of failures: the next failure waits 2 s again, not 4 s.
  ASSERT_TRUE(world.clock.await_waits(2));
  EXPECT_EQ(world.clock.waits()[1], 2s);
}

TEST(SupervisorStatus, NothingEngaged) {
  FakeEngineWorld world;
  Supervisor& sup = world.build();
  const Status s = sup.status_for(kOtherUser);
  EXPECT_EQ(s, sup.snapshot());
  EXPECT_EQ(s.protocol, 4u);
  EXPECT_EQ(s.version, "0.1.8");
  EXPECT_EQ(s.state, EngineState::stopped);
  EXPECT_FALSE(s.wanted);
  EXPECT_EQ(s.kill_switch, KillSwitch::off);
  EXPECT_EQ(s.session, Session::none);
  EXPECT_FALSE(s.needs_request);
  // Anyone may start while nothing is engaged.
  EXPECT_TRUE(sup.check_session(kOtherUser));
}

TEST(SupervisorConstruction, RestoresTheSavedKillSwitchAndItsOwner) {
  FakeEngineWorld world;
  ArmedState saved;
  saved.pins["vpn.example.com"] = "192.0.2.1";
  saved.owner = kOwner.sid;
  std::ofstream(world.state_file()) << *armed_state_to_json(saved);

  Supervisor& sup = world.build();
  EXPECT_EQ(world.filters.installed(), std::vector<Pin>{});  // no pins until the owner asks again
  EXPECT_TRUE(world.sink_lines().empty());

  const Status mine = sup.status_for(kOwner);
  EXPECT_EQ(mine.session, Session::mine);
  EXPECT_TRUE(mine.wanted);
  EXPECT_EQ(mine.state, EngineState::starting);
  EXPECT_EQ(mine.kill_switch, KillSwitch::armed);
  EXPECT_TRUE(mine.needs_request);
  const Status theirs = sup.status_for(kOtherUser);
  EXPECT_EQ(theirs.session, Session::other);
  EXPECT_FALSE(theirs.needs_request);
}

TEST(SupervisorConstruction, ReportsAFailedRestoreAndStaysEngaged) {
  FakeEngineWorld world;
  std::ofstream(world.state_file()) << "not json";
  world.filters.fail_install(true);
  Supervisor& sup = world.build();
  EXPECT_EQ(world.sink_lines(), std::vector<std::string>{"velkvpn-helper: could not restore the kill switch\n"});
  const Status s = sup.status_for(kOwner);
  EXPECT_EQ(s.kill_switch, KillSwitch::armed);
  EXPECT_EQ(s.session, Session::other);  // unreadable file: the owner is unknown
  EXPECT_EQ(sup.check_session(kOwner).error(), err::not_session_owner);
  EXPECT_TRUE(sup.check_session(kAdmin));
}

TEST(SupervisorArming, WritesTheFileAndInstallsTheFiltersBeforeTheRequestCounts) {
  FakeEngineWorld world;
  Supervisor& sup = world.build();
  bool file_first = false, committed_early = true;
  world.filters.on_call([&](test::FakeFilterOps::Call call) {
    if (call != test::FakeFilterOps::Call::install) return;
    file_first = std::filesystem::exists(world.state_file());
    committed_early = sup.has_desired_request();
  });
  ASSERT_TRUE(sup.apply_request(kOwner, test::engine_request(3), true));
  EXPECT_TRUE(file_first);
  EXPECT_FALSE(committed_early);
  EXPECT_TRUE(sup.has_desired_request());
  EXPECT_EQ(world.filters.installed(),
            (std::vector<Pin>{pin("10.0.0.1", 443), pin("10.0.0.2", 443), pin("10.0.0.3", 443)}));
  EXPECT_EQ(read_file(world.state_file()), R"({"version":1,"pins":{},"owner":")" + kOwner.sid + R"("})");
}

TEST(SupervisorArming, AFailedFirstArmingChangesNothingAndLeavesNoFile) {
  FakeEngineWorld world;
  Supervisor& sup = world.build();
  world.filters.fail_install(true);
  const Status before = sup.status_for(kOwner);
  EXPECT_EQ(sup.apply_request(kOwner, test::engine_request(1), true).error(), err::killswitch_failed);
  EXPECT_FALSE(std::filesystem::exists(world.state_file()));
  EXPECT_FALSE(sup.has_desired_request());
  EXPECT_EQ(sup.status_for(kOwner), before);
  EXPECT_EQ(sup.status_for(kOtherUser).session, Session::none);
}

TEST(SupervisorArming, AFailedReArmingKeepsTheRunningRequestAndItsFilters) {
  FakeEngineWorld world;
  Supervisor& sup = world.build();
  ASSERT_TRUE(sup.apply_request(kOwner, test::engine_request(1, "srv-0"), true));
  world.filters.fail_install(true);
  EngineRequest moved = test::engine_request(2, "srv-1");
  EXPECT_EQ(sup.apply_request(kOwner, moved, true).error(), err::killswitch_failed);
  EXPECT_EQ(sup.status_for(kOwner).selected, "srv-0");
  EXPECT_EQ(world.filters.installed(), std::vector<Pin>{pin("10.0.0.1", 443)});
  EXPECT_TRUE(std::filesystem::exists(world.state_file()));
}

TEST(SupervisorArming, StartWithoutTheFlagKeepsAnEngagedKillSwitchOnTheNewPins) {
  FakeEngineWorld world;
  Supervisor& sup = world.build();
  ASSERT_TRUE(sup.apply_request(kOwner, test::engine_request(1), true));
  EngineRequest other = test::engine_request(1);
  other.routes[0].server = "192.0.2.9";
  other.routes[0].port = 8443;
  ASSERT_TRUE(sup.apply_request(kOwner, other, false));
  EXPECT_EQ(world.filters.installed(), std::vector<Pin>{pin("192.0.2.9", 8443)});
  EXPECT_EQ(sup.status_for(kOwner).kill_switch, KillSwitch::armed);
}

TEST(SupervisorArming, StartWithoutKillSwitchArmsNothing) {
  FakeEngineWorld world;
  Supervisor& sup = world.build();
  ASSERT_TRUE(sup.apply_request(kOwner, test::engine_request(1), false));
  EXPECT_TRUE(world.filters.installs().empty());
  EXPECT_FALSE(std::filesystem::exists(world.state_file()));
  const Status s = sup.status_for(kOwner);
  EXPECT_EQ(s.kill_switch, KillSwitch::off);
  EXPECT_EQ(s.session, Session::mine);
}

TEST(SupervisorArming, ResolvesHostNamesAndSavesThemWithTheOwner) {
  FakeEngineWorld world;
  world.resolver->set("vpn.example.com", {*IpAddress::parse("2001:db8::5"), *IpAddress::parse("192.0.2.5")});
  Supervisor& sup = world.build();
  EngineRequest request = test::engine_request(2, "srv-1");
  request.routes[1].server = "vpn.example.com";
  ASSERT_TRUE(sup.apply_request(kOwner, request, true));
  EXPECT_EQ(world.filters.installed(), (std::vector<Pin>{pin("10.0.0.1", 443), pin("192.0.2.5", 443)}));
  const auto saved = armed_state_from_json(read_file(world.state_file()));
  ASSERT_TRUE(saved);
  EXPECT_EQ(saved->pins, (std::map<std::string, std::string>{{"vpn.example.com", "192.0.2.5"}}));
}

TEST(SupervisorArming, AnUnacceptableServerIsRefusedBeforeAnythingChanges) {
  FakeEngineWorld world;
  Supervisor& sup = world.build();
  EngineRequest request = test::engine_request(1);
  request.routes[0].server = "127.0.0.1";
  EXPECT_EQ(sup.apply_request(kOwner, request, true).error(), err::endpoint_refused);
  EXPECT_TRUE(world.filters.installs().empty());
  EXPECT_FALSE(sup.has_desired_request());
}

TEST(SupervisorArming, AnInvalidRequestNeverBecomesTheDesiredOne) {
  FakeEngineWorld world;
  Supervisor& sup = world.build();
  EngineRequest request = test::engine_request(1, "srv-9");
  EXPECT_EQ(sup.apply_request(kOwner, request, true).error(), err::unknown_selection);
  EXPECT_FALSE(sup.has_desired_request());
}

// An engine that runs and whose controller answers: the owner's session is running.
struct RunningSession : ::testing::Test {
  void SetUp() override {
    world.controller.set_member("proxy", "srv-0");
    world.build();
    world.start_engine_thread();
    ASSERT_TRUE(sup().apply_request(kOwner, test::engine_request(2, "srv-0"), true));
    ASSERT_TRUE(FakeEngineWorld::eventually([&] { return sup().snapshot().state == EngineState::running; }));
  }
  Supervisor& sup() { return world.supervisor(); }
  FakeEngineWorld world;
};

TEST_F(RunningSession, SelectSwitchesTheEngineThenRecordsTheChoice) {
  world.controller.set_reply(ControllerReply{204, ""});
  const Response r = sup().select(kOwner, "srv-1");
  EXPECT_EQ(status_of(r).selected, "srv-1");
  const auto calls = world.controller.requests();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].method, "PUT");
  EXPECT_EQ(calls[0].path, "/proxies/proxy");
  EXPECT_EQ(calls[0].body, R"({"name":"srv-1"})");
  EXPECT_EQ(calls[0].access.port, 40001);
  // The engine has it: the engine thread's later polls send nothing more.
  const std::size_t asked = world.controller.member_questions().size();
  ASSERT_TRUE(world.controller.await_member_questions(asked + 2));
  EXPECT_EQ(world.controller.requests().size(), 1u);
}

TEST_F(RunningSession, SelectReportsWhatTheControllerSaid) {
  world.controller.set_reply(ControllerReply{400, R"({"message":"Selector update error: not found"})"});
  EXPECT_EQ(error_of(sup().select(kOwner, "srv-1")), err::engine_refused);
  world.controller.set_reply(std::nullopt);
  EXPECT_EQ(error_of(sup().select(kOwner, "auto")), err::engine_unreachable);
  EXPECT_EQ(error_of(sup().select(kOwner, "srv-7")), err::unknown_route);
  EXPECT_EQ(sup().status_for(kOwner).selected, "srv-0");
}

TEST_F(RunningSession, TestRouteReadsTheDelay) {
  world.controller.set_reply(ControllerReply{200, "{\"delay\":123}\n"});
  const Response r = sup().test_route(kOwner, "srv-1");
  EXPECT_EQ(std::get<Response::Delay>(r.value).ms, 123u);
  EXPECT_EQ(world.controller.requests().back().path, "/proxies/srv-1/delay?timeout=5000");
  EXPECT_EQ(world.controller.requests().back().method, "GET");
  EXPECT_EQ(world.controller.requests().back().body, std::nullopt);

  for (const ControllerReply& reply : {ControllerReply{503, R"({"message":"An error occurred in the delay test"})"},
                                       ControllerReply{200, R"({"delay":-1})"}, ControllerReply{200, R"({"delay":1.5})"},
                                       ControllerReply{200, "not json"}}) {
    world.controller.set_reply(reply);
    EXPECT_EQ(std::get<Response::Delay>(sup().test_route(kOwner, "auto").value).ms, std::nullopt) << reply.body;
  }
  world.controller.set_reply(std::nullopt);
  EXPECT_EQ(error_of(sup().test_route(kOwner, "srv-0")), err::engine_unreachable);
}

TEST(SupervisorCommands, SelectAndTestRouteNeedARequest) {
  FakeEngineWorld world;
  Supervisor& sup = world.build();
  EXPECT_EQ(error_of(sup.select(kOwner, "auto")), err::not_running);
  EXPECT_EQ(error_of(sup.test_route(kOwner, "auto")), err::not_running);
  // A request, but no engine process yet: select only records the choice,
  // test_route has no controller to ask.
  ASSERT_TRUE(sup.apply_request(kOwner, test::engine_request(2), false));
  EXPECT_EQ(status_of(sup.select(kOwner, "srv-1")).selected, "srv-1");
  EXPECT_EQ(error_of(sup.test_route(kOwner, "srv-1")), err::not_running);
  EXPECT_EQ(error_of(sup.test_route(kOwner, "srv-5")), err::unknown_route);
  EXPECT_TRUE(world.controller.requests().empty());
}

TEST_F(FailedSession, EmergencyOffWaitsForTheEngineThreadToRemoveTheKillSwitch) {
  world.clock.set_manual_sleeps(true);
  ASSERT_TRUE(sup().request_stop(kOwner));
  auto answer = std::async(std::launch::async, [&] { return sup().finish_emergency_off(kOwner); });
  ASSERT_TRUE(FakeEngineWorld::eventually([&] { return sup().snapshot().state == EngineState::stopped; }));
  world.clock.advance(kEmergencyPollStep);
  const Response r = answer.get();
  EXPECT_EQ(status_of(r).state, EngineState::stopped);
  EXPECT_EQ(status_of(r).kill_switch, KillSwitch::off);
  EXPECT_EQ(status_of(r).session, Session::none);
  EXPECT_FALSE(std::filesystem::exists(world.state_file()));
  EXPECT_EQ(sup().status_for(kOtherUser).restarts, 0u);  // the session's, over: its owner's only
  EXPECT_EQ(sup().status_for(kOwner).restarts, 1u);
  // Removed once, by the engine thread.
  const auto calls = world.filters.calls();
  EXPECT_EQ(std::count(calls.begin(), calls.end(), test::FakeFilterOps::Call::remove), 1);
}

TEST(SupervisorEmergencyOff, RemovesTheKillSwitchItselfWhenTheEngineThreadIsStuck) {
  FakeEngineWorld world;
  world.controller.set_member("proxy", "srv-0");
  world.launcher.set_default({.stuck = true});
  Supervisor& sup = world.build();
  world.start_engine_thread();
  ASSERT_TRUE(sup.apply_request(kOwner, test::engine_request(1), true));
  ASSERT_TRUE(FakeEngineWorld::eventually([&] { return sup.snapshot().state == EngineState::running; }));

  const auto sleeps = world.clock.sleeps_started();
  test::MemoryStream stream("{\"cmd\":\"emergency_off\"}\n");
  serve_connection(sup, stream, kOwner);
  ASSERT_TRUE(world.launcher.await_kills(1));
  EXPECT_EQ(world.launcher.killed(), 0);  // still stuck
  EXPECT_GE(world.clock.sleeps_started() - sleeps, static_cast<std::size_t>(kEmergencyPolls));
  EXPECT_EQ(world.filters.installed(), std::nullopt);
  EXPECT_FALSE(std::filesystem::exists(world.state_file()));
  const Status s = sup.status_for(kOwner);
  EXPECT_EQ(s.kill_switch, KillSwitch::off);
  EXPECT_EQ(s.session, Session::none);
  EXPECT_FALSE(s.wanted);
  EXPECT_EQ(s.state, EngineState::stopping);
  // The answer was the caller's status with the kill switch off.
  EXPECT_NE(stream.output().find(R"("kill_switch":"off")"), std::string::npos) << stream.output();

  world.launcher.release_stuck();
  ASSERT_TRUE(FakeEngineWorld::eventually([&] { return sup.snapshot().state == EngineState::stopped; }));
  EXPECT_TRUE(sup.engine_idle());
}

TEST(SupervisorEmergencyOff, AnswersTheRemovalErrorWhenTheForcedDisarmFails) {
  FakeEngineWorld world;
  Supervisor& sup = world.build();  // no engine thread: nobody else removes it
  ASSERT_TRUE(sup.apply_request(kOwner, test::engine_request(1), true));
  world.filters.fail_remove(true);
  ASSERT_TRUE(sup.request_stop(kOwner));
  const Response r = sup.finish_emergency_off(kOwner);
  EXPECT_EQ(error_of(r), err::killswitch_failed);
  // What is true afterwards: the routes are gone, the block stays for its
  // owner with the reason, and nothing asks for a request.
  const Status s = sup.status_for(kOwner);
  EXPECT_EQ(s.session, Session::mine);
  EXPECT_EQ(s.kill_switch, KillSwitch::armed);
  EXPECT_EQ(s.error, err::killswitch_remove_failed);
  EXPECT_FALSE(s.needs_request);
  EXPECT_EQ(s.selected, std::nullopt);
  EXPECT_TRUE(world.filters.installed().has_value());
  const Response replaced = handle_request(sup, kOwner, Request{Request::Replace{test::engine_request(1)}});
  EXPECT_EQ(status_of(replaced).kill_switch, KillSwitch::armed);  // works as start
}

TEST(SupervisorEmergencyOff, ForcedDisarmSparesTheKillSwitchOfANewerStart) {
  FakeEngineWorld world;
  world.clock.set_manual_sleeps(true);
  Supervisor& sup = world.build();  // no engine thread: the wait runs out
  ASSERT_TRUE(sup.apply_request(kOwner, test::engine_request(1), true));
  ASSERT_TRUE(sup.request_stop(kOwner));
  auto answer = std::async(std::launch::async, [&] { return sup.finish_emergency_off(kOwner); });
  ASSERT_TRUE(world.clock.await_sleeps(1));
  // The owner's start on a second connection re-arms during the wait.
  ASSERT_TRUE(sup.apply_request(kOwner, test::engine_request(2), true));
  for (int poll = 1; poll <= kEmergencyPolls; ++poll) {
    ASSERT_TRUE(world.clock.await_sleeps(static_cast<std::size_t>(poll)));
    world.clock.advance(kEmergencyPollStep);
  }
  const Response r = answer.get();
  EXPECT_EQ(status_of(r).kill_switch, KillSwitch::armed);
  EXPECT_EQ(status_of(r).session, Session::mine);
  EXPECT_TRUE(sup.has_desired_request());
  EXPECT_TRUE(std::filesystem::exists(world.state_file()));
  EXPECT_TRUE(world.filters.installed().has_value());
}

// An idle helper: the answer waits until the engine thread has taken the stop
// up and finished it, never reading "stopping".
TEST(SupervisorEmergencyOff, RightAfterAStopAnswersOnlyOnceThatStopIsDone) {
  FakeEngineWorld world;
  world.clock.set_manual_sleeps(true);
  Supervisor& sup = world.build();
  ASSERT_TRUE(sup.request_stop(kOwner));
  ASSERT_TRUE(sup.request_stop(kOwner));
  auto answer = std::async(std::launch::async, [&] { return sup.finish_emergency_off(kOwner); });
  ASSERT_TRUE(world.clock.await_sleeps(1, std::chrono::seconds(2)));  // not taken up yet: it waits
  world.start_engine_thread();
  // Idle and stopped hold from the start: only a cleared stop says the
  // engine thread has taken this one up.
  ASSERT_TRUE(FakeEngineWorld::eventually([&] { return sup.stop_done(); }));
  world.clock.advance(kEmergencyPollStep);
  ASSERT_EQ(answer.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  const Response r = answer.get();
  EXPECT_EQ(status_of(r).state, EngineState::stopped);
}

// The helper's filters in force with no state file (deleted, lost, or gone
// with a directory moved aside) belong to nobody: read armed with the reason
// by everyone, anyone's emergency_off removes them.
TEST(SupervisorStrayFilters, ReadArmedWithTheReasonAndBelongToNobody) {
  FakeEngineWorld world;
  world.filters.preinstall({});
  Supervisor& sup = world.build();
  world.start_engine_thread();
  const Status s = sup.status_for(kOwner);
  EXPECT_EQ(s.kill_switch, KillSwitch::armed);
  EXPECT_EQ(s.session, Session::none);
  EXPECT_FALSE(s.needs_request);
  EXPECT_EQ(s.error, err::killswitch_orphaned);
  ASSERT_TRUE(sup.request_stop(kOwner));
  const Response r = sup.finish_emergency_off(kOwner);
  EXPECT_EQ(status_of(r).kill_switch, KillSwitch::off);
  EXPECT_EQ(status_of(r).error, std::nullopt);
  EXPECT_FALSE(world.filters.installed());
}

// A state file this process neither read nor wrote: the status reads off, no start arms for it or keeps it.
TEST(SupervisorForeignStateFile, CountsForNothingAndNoStartKeepsIt) {
  FakeEngineWorld world;
  Supervisor& sup = world.build();
  for (bool kill_switch : {true, false}) {  // with a kill switch that fails, then without one
    std::ofstream(world.state_file()) << R"({"version":1,"pins":{},"owner":"S-1-5-21-7-7-7-1002"})";
    EXPECT_EQ(sup.status_for(kOwner).kill_switch, KillSwitch::off);
    world.filters.fail_install(true);
    EXPECT_EQ(sup.apply_request(kOwner, test::engine_request(1), kill_switch).ok(), !kill_switch);
    EXPECT_FALSE(std::filesystem::exists(world.state_file()));
  }
  EXPECT_EQ(world.filters.installs().size(), 1u);  // only the one that failed
}

// A refused hand-over answered after a replace leaves the new request's selection alone.
TEST(SupervisorHandOver, ARefusalForAnOlderRequestLeavesTheNewSelectionAlone) {
  FakeEngineWorld world;
  Supervisor& sup = world.build();
  world.start_engine_thread();
  ASSERT_TRUE(sup.apply_request(kOwner, test::engine_request(2, "srv-0"), false));
  ASSERT_TRUE(world.controller.await_member_questions(1));  // starting: nothing answers yet
  ASSERT_TRUE(std::holds_alternative<Status>(sup.select(kOwner, "srv-1").value));
  const EngineRequest only_srv1{{test::engine_route(1)}, "srv-1"};
  world.controller.on_request = [&] { (void)sup.apply_request(kOwner, only_srv1, false); };  // in flight
  world.controller.set_reply(ControllerReply{400, R"({"message":"Selector update error: not found"})"});
  world.controller.set_member("proxy", "srv-0");
  ASSERT_TRUE(world.launcher.await_launches(2));
  EXPECT_EQ(sup.status_for(kOwner).selected, "srv-1");
}

// Filters installed but failing their check, and not removable again: the
// state file stays, and the one who pressed start may still stop.
TEST(SupervisorStart, KeptStateAfterAFailedFirstArmingStaysStoppableByItsOwner) {
  FakeEngineWorld world;
  Supervisor& sup = world.build();
  world.filters.break_layers(true);
  world.filters.fail_remove(true);
  EXPECT_EQ(sup.apply_request(kOwner, test::engine_request(1), true).error(), err::killswitch_failed);
  ASSERT_TRUE(std::filesystem::exists(world.state_file()));
  EXPECT_EQ(sup.status_for(kOwner).session, Session::mine);
  EXPECT_EQ(sup.check_session(kOtherUser).error(), err::not_session_owner);
  EXPECT_TRUE(sup.request_stop(kOwner));
}

TEST_F(RunningSession, ShutdownStopsTheEngineButKeepsTheKillSwitch) {
  sup().shutdown();
  ASSERT_TRUE(FakeEngineWorld::eventually([&] { return sup().engine_idle(); }));
  EXPECT_EQ(world.launcher.killed(), 1);
  EXPECT_TRUE(std::filesystem::exists(world.state_file()));
  EXPECT_TRUE(world.filters.installed().has_value());
  const Status s = sup().status_for(kOwner);
  EXPECT_EQ(s.kill_switch, KillSwitch::armed);
  EXPECT_TRUE(s.needs_request);
  // A request arriving after shutdown is dropped by the engine thread.
  ASSERT_TRUE(sup().apply_request(kOwner, test::engine_request(1), true));
  ASSERT_TRUE(FakeEngineWorld::eventually([&] { return !sup().has_desired_request(); }));
  EXPECT_EQ(world.launcher.launches().size(), 1u);
}

}  // namespace
}  // namespace velk
