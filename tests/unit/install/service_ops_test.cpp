// The service operations against the fake service manager and a manual
// clock: registration values, the stop with its escalation, the deletion and
// creation waits.

#include <gtest/gtest.h>

#include <chrono>
#include <optional>

#include "fake_scm.h"
#include "install/service_ops.h"
#include "manual_clock.h"

namespace velk::test {
namespace {

using namespace std::chrono_literals;
using Lines = std::vector<std::string>;

struct ScmWorld {
  FaultPlan plan;
  ManualClock clock;
  FakeScm scm{plan};
  FakeTaskkill taskkill{plan, scm};
  ServiceOps ops{scm, taskkill, clock};
  Lines lines;
  InstallLog log{[this](std::string_view l) { lines.emplace_back(l.substr(0, l.size() - 1)); }, nullptr};

  Clock::duration elapsed() { return clock.now() - Clock::time_point(std::chrono::hours(1000)); }
};
struct ServiceOpsTest : ::testing::Test, ScmWorld {};

TEST(ServiceRegistration, CommandLineQuotesOnlyWhenNeeded) {
  struct Case {
    std::string path, line;
  };
  const Case cases[] = {
      {R"(C:\Program Files\VELK VPN\velkvpn-helper.exe)", R"("C:\Program Files\VELK VPN\velkvpn-helper.exe" --service)"},
      {R"(C:\velk\velkvpn-helper.exe)", R"(C:\velk\velkvpn-helper.exe --service)"},
      {"C:\\a\"b\\x.exe", R"("C:\a\"b\x.exe" --service)"},
      {"C:\\tab\there\\", "\"C:\\tab\there\\\\\" --service"},
  };
  for (const Case& c : cases) EXPECT_EQ(helper_registration(c.path).command_line, c.line) << c.path;
}

TEST_F(ServiceOpsTest, InstallPutsEveryValueBack) {
  scm.install_running(helper_registration("evil.exe"), "0.1.7");
  scm.registration.start_type = 3;  // someone edited it
  scm.failure_actions = cleared_recovery_actions();
  ASSERT_TRUE(ops.install_service(log, R"(C:\P F\velkvpn-helper.exe)"));
  EXPECT_EQ(scm.registration, helper_registration(R"(C:\P F\velkvpn-helper.exe)"));
  EXPECT_EQ(scm.failure_actions, recovery_actions());
  EXPECT_TRUE(lines.empty());
}

TEST_F(ServiceOpsTest, RecoveryActionsThatCannotBeWrittenAreLoggedOnly) {
  plan.fail_at = 3;  // open, create, actions
  EXPECT_TRUE(ops.install_service(log, "x"));
  EXPECT_EQ(plan.failed, "scm.set_failure_actions");
  EXPECT_EQ(lines, Lines{"could not set the recovery actions"});
}

// A removal kept from finishing by a handle held elsewhere leaves the service
// marked: it cannot be changed, so it is waited out and created afresh.
TEST_F(ServiceOpsTest, AServiceMarkedForDeletionIsWaitedOutAndCreatedAfresh) {
  scm.install_running(helper_registration("old"), "0.1.7");
  scm.marked_for_delete = true;
  scm.keeps_handle_open = true;
  EXPECT_FALSE(ops.install_service(log, "x"));
  EXPECT_EQ(elapsed(), 30s) << "retries every 250 ms while at most 29 whole seconds have passed";

  scm.keeps_handle_open = false;  // the other holder lets go
  ASSERT_TRUE(ops.install_service(log, "x"));
  EXPECT_EQ(scm.registration, helper_registration("x")) << "only a fresh service takes it";
}

TEST(ServiceOps, StopEscalatesFromTheControlToTaskkill) {
  struct Case {
    std::string name;
    std::optional<std::uint32_t> state;  // none: not registered
    bool survives;
    bool stopped;
    Lines runs;
    Clock::duration took;
  };
  const Case cases[] = {
      {"absent", std::nullopt, false, true, {}, 0s},
      {"stopped", scm::kStopped, false, true, {"/IM velkvpn-engine.exe"}, 0s},
      {"running, ended by pid", scm::kRunning, false, true, {"/PID 100", "/IM velkvpn-engine.exe"}, 20s},
      {"stop pending: no pid known", 3, false, false, {"/IM velkvpn-engine.exe"}, 30s},
      {"survives taskkill", scm::kRunning, true, false, {"/PID 100", "/IM velkvpn-engine.exe"}, 30s},
  };
  for (const Case& c : cases) {
    ScmWorld w;
    if (c.state) w.scm.install_running(helper_registration("x"), "0.1.7");
    if (c.state) w.scm.state = *c.state;
    w.scm.ignores_stop = true;
    w.scm.survives_taskkill = c.survives;
    EXPECT_EQ(w.ops.stop_service(w.log), c.stopped) << c.name;
    EXPECT_EQ(w.taskkill.runs, c.runs) << c.name;
    const bool escalated = c.took > 0s;
    EXPECT_EQ(w.lines, escalated ? Lines{"the service did not stop in time: ending its process"} : Lines{}) << c.name;
    EXPECT_EQ(w.elapsed(), c.took) << c.name;
  }
}

TEST_F(ServiceOpsTest, DeletionWaitsUntilTheServiceIsGone) {
  using Deletion = ServiceOps::Deletion;
  EXPECT_EQ(ops.delete_service(), Deletion::gone) << "never existed";
  scm.install_running(helper_registration("x"), "0.1.7");
  EXPECT_EQ(ops.delete_service(), Deletion::gone);
  EXPECT_FALSE(scm.registered);
  EXPECT_EQ(elapsed(), 0s);

  scm.install_running(helper_registration("x"), "0.1.7");
  scm.keeps_handle_open = true;
  EXPECT_EQ(ops.delete_service(), Deletion::held_elsewhere);
  EXPECT_EQ(elapsed(), 30s);
  EXPECT_EQ(ops.delete_service(), Deletion::held_elsewhere) << "already marked: waits again";
  EXPECT_EQ(elapsed(), 60s);

  plan.fail_at = plan.calls + 2;  // DeleteService itself
  EXPECT_EQ(ops.delete_service(), Deletion::failed);
}

TEST_F(ServiceOpsTest, ClearingTheRecoveryActions) {
  ops.clear_recovery_actions(log);  // absent: nothing happens
  EXPECT_TRUE(scm.controls.empty() && lines.empty());
  scm.install_running(helper_registration("x"), "0.1.7");
  scm.failure_actions = recovery_actions();
  ops.clear_recovery_actions(log);
  EXPECT_EQ(scm.failure_actions, (FailureActions{0, {}}));
  plan.fail_at = plan.calls + 2;
  ops.clear_recovery_actions(log);
  EXPECT_EQ(lines, Lines{"could not clear the recovery actions"});
}

TEST(Taskkill, ProgramUnderSystemRoot) {
  EXPECT_EQ(taskkill_program(std::string("D:\\Win")), "D:\\Win\\System32\\taskkill.exe");
  EXPECT_EQ(taskkill_program(std::nullopt), "C:\\Windows\\System32\\taskkill.exe");
}

}  // namespace
}  // namespace velk::test
