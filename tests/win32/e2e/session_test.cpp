// A whole session against the shipped exe running as a service: start with
// the kill switch, the engine stand-in coming up, select and test_route
// through its controller, stop taking everything down again.

#include <gtest/gtest.h>

#include <algorithm>

#include "e2e_fixture.h"

namespace velk::test {
namespace {

using namespace std::chrono_literals;

std::optional<Response> answer_to(const HelperService& helper, const Request& request) {
  return helper.ask(line_of(request));
}

bool ends_with(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

TEST_F(HelperE2e, StartArmsTheKillSwitchAndTheEngineRuns) {
  ASSERT_NO_FATAL_FAILURE(start_service());
  std::optional<Status> idle = helper().status();
  ASSERT_TRUE(idle);
  EXPECT_EQ(idle->state, EngineState::stopped);
  EXPECT_EQ(idle->kill_switch, KillSwitch::off);
  EXPECT_EQ(idle->session, Session::none);
  EXPECT_FALSE(idle->wanted);

  std::optional<Response> started = helper().ask(start_line(true));
  std::optional<Status> s = status_of(started);
  ASSERT_TRUE(s) << describe(started);
  EXPECT_EQ(s->kill_switch, KillSwitch::armed);
  EXPECT_TRUE(s->wanted);
  EXPECT_EQ(s->selected, "srv-1");
  EXPECT_EQ(s->session, Session::mine);
  EXPECT_FALSE(s->needs_request);
  EXPECT_TRUE(std::filesystem::exists(helper().state_file()));

  // The block is in force in all four layers, with a permit for the engine to each pinned server.
  FilterView f = filters();
  EXPECT_TRUE(f.every_layer_blocked()) << describe(f);
  std::vector<std::string> pins = f.pins;
  std::sort(pins.begin(), pins.end());
  EXPECT_EQ(pins, (std::vector<std::string>{"192.0.2.10:443", "198.51.100.20:8443"})) << describe(f);
  ASSERT_FALSE(f.app_ids.empty());
  for (const std::string& id : f.app_ids) EXPECT_TRUE(ends_with(id, "\\velkvpn-engine.exe")) << id;

  s = helper().wait_status([](const Status& st) { return st.state == EngineState::running && st.active; }, 25s);
  ASSERT_TRUE(s);
  EXPECT_EQ(s->state, EngineState::running);
  EXPECT_EQ(s->active, "srv-1");
  EXPECT_EQ(s->error, std::nullopt);
  EXPECT_EQ(engine_children(helper().pid()).size(), 1u);
}

TEST_F(HelperE2e, SelectAndTestRouteGoThroughTheEngineController) {
  ASSERT_NO_FATAL_FAILURE(start_running_session());

  std::optional<Response> selected = answer_to(helper(), Request{Request::Select{"srv-2"}});
  std::optional<Status> s = status_of(selected);
  ASSERT_TRUE(s) << describe(selected);
  EXPECT_EQ(s->selected, "srv-2");
  // The engine reports the new member of its selector group.
  s = helper().wait_status([](const Status& st) { return st.active == "srv-2"; }, 10s);
  ASSERT_TRUE(s);
  EXPECT_EQ(s->active, "srv-2");

  EXPECT_EQ(error_of(answer_to(helper(), Request{Request::Select{"srv-9"}})), "unknown_route");

  // The stand-in measures 100 ms for every route unless told otherwise.
  std::optional<Response> delay = answer_to(helper(), Request{Request::TestRoute{"srv-1"}});
  ASSERT_TRUE(delay && std::holds_alternative<Response::Delay>(delay->value)) << describe(delay);
  EXPECT_EQ(std::get<Response::Delay>(delay->value).ms, 100u);
  EXPECT_EQ(error_of(answer_to(helper(), Request{Request::TestRoute{"srv-9"}})), "unknown_route");
}

TEST_F(HelperE2e, StopEndsTheEngineAndRemovesTheKillSwitch) {
  ASSERT_NO_FATAL_FAILURE(start_running_session());
  ASSERT_EQ(engine_children(helper().pid()).size(), 1u);

  std::optional<Response> stopped = answer_to(helper(), Request{Request::Stop{}});
  ASSERT_TRUE(status_of(stopped)) << describe(stopped);

  std::optional<Status> s = helper().wait_status(
      [](const Status& st) { return st.state == EngineState::stopped && st.kill_switch == KillSwitch::off; }, 15s);
  ASSERT_TRUE(s);
  EXPECT_EQ(s->state, EngineState::stopped);
  EXPECT_EQ(s->kill_switch, KillSwitch::off);
  EXPECT_FALSE(s->wanted);
  EXPECT_EQ(s->session, Session::none);
  EXPECT_EQ(s->active, std::nullopt);
  EXPECT_TRUE(engine_children(helper().pid()).empty());
  FilterView f = filters();
  EXPECT_EQ(f.filters, 0u) << describe(f);
  EXPECT_EQ(f.providers, 0u);
  EXPECT_EQ(f.sublayers, 0u);
  EXPECT_FALSE(std::filesystem::exists(helper().state_file()));

  // Without a session, select has nothing to act on.
  EXPECT_EQ(error_of(answer_to(helper(), Request{Request::Select{"srv-1"}})), "not_running");
}

}  // namespace
}  // namespace velk::test
