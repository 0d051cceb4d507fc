#include "e2e_fixture.h"

namespace velk::test {

using namespace std::chrono_literals;

void HelperE2e::SetUp() {
  static const std::optional<std::string> missing = serve_mode_missing();
  if (missing) GTEST_SKIP() << "the serve mode is not in this build: " << *missing;
  helper_.emplace();
}

void HelperE2e::TearDown() {
  helper_.reset();  // stops and deletes the service
  if (standin_pointed_) {
    standin_tool({L"clear-failures"});
    standin_tool({L"reset"});
  }
  SetEnvironmentVariableW(L"VELK_FWP_STANDIN_DIR", nullptr);
}

void HelperE2e::start_service() {
  ASSERT_TRUE(helper().start());
  if (standin_pointed_) return;
  std::optional<std::wstring> dir = standin_dir_of(helper().pid());
  ASSERT_TRUE(dir) << "cannot read the environment of the service process";
  // Tools started from here on (fwp-standin, velkvpn-helper --recover) inherit it.
  SetEnvironmentVariableW(L"VELK_FWP_STANDIN_DIR", dir->c_str());
  standin_pointed_ = true;
  ProcessResult reset = standin_tool({L"reset"});
  ASSERT_EQ(reset.exit_code, 0u) << reset.err;
}

void HelperE2e::start_running_session() {
  ASSERT_NO_FATAL_FAILURE(start_service());
  std::optional<Response> started = helper().ask(start_line(true));
  std::optional<Status> s = status_of(started);
  ASSERT_TRUE(s) << describe(started);
  ASSERT_EQ(s->kill_switch, KillSwitch::armed) << describe(started);
  s = helper().wait_status([](const Status& st) { return st.state == EngineState::running && st.active; }, 25s);
  ASSERT_TRUE(s && s->state == EngineState::running && s->active == "srv-1")
      << "the engine did not come up: " << describe(s ? std::optional<Response>(Response{*s}) : std::nullopt);
}

FilterView HelperE2e::filters() {
  std::optional<FilterView> view = view_filters();
  EXPECT_TRUE(view) << "fwp-standin dump failed";
  return view.value_or(FilterView{});
}

}  // namespace velk::test
