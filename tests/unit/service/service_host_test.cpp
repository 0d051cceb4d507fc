// The service main against a fake Service Control Manager, a fake clock and a
// fake supervisor: which reports go out, in which order, with which fields.

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "manual_clock.h"
#include "service/service_host.h"

namespace velk {
namespace {

using namespace std::chrono_literals;

using FakeClock = test::ManualClock;

class FakeSupervisor final : public StoppableSupervisor {
 public:
  // engine_idle() answers false this many times, then true; absent: never idle.
  explicit FakeSupervisor(std::optional<int> busy_polls) : busy_polls_(busy_polls) {}
  void shutdown() override { ++shutdowns; }
  bool engine_idle() override {
    ++idle_checks;
    return busy_polls_ && idle_checks > *busy_polls_;
  }
  int shutdowns = 0;
  int idle_checks = 0;

 private:
  std::optional<int> busy_polls_;
};

class FakeScm final : public ServiceHostOps {
 public:
  bool registration_works = true;
  bool run_worker_now = false;  // otherwise the worker is kept, as if serving forever
  std::unique_ptr<HandlerContext> handler;
  std::vector<ServiceStatusReport> reports;
  std::function<void()> worker;
  std::shared_ptr<StoppableSupervisor> supervisor;
  std::function<void(const ServiceStatusReport&)> on_report;
  std::vector<int> exits;
  int supervisor_lookups = 0;
  int workers_started = 0;

  bool register_handler(std::unique_ptr<HandlerContext>& context) override {
    if (!registration_works) return false;
    handler = std::move(context);
    return true;
  }
  void report(const ServiceStatusReport& status) override {
    reports.push_back(status);
    if (on_report) on_report(status);
  }
  void start_worker(std::function<void()> body) override {
    ++workers_started;
    if (run_worker_now) {
      body();
    } else {
      worker = std::move(body);
    }
  }
  std::shared_ptr<StoppableSupervisor> published_supervisor() override {
    ++supervisor_lookups;
    return supervisor;
  }
  void exit_process(int code) override { exits.push_back(code); }

  std::uint32_t control(std::uint32_t code) { return handle_service_control(*handler, code); }
  // The SCM sends `code` as soon as the service reports RUNNING.
  void send_when_running(std::uint32_t code) {
    on_report = [this, code](const ServiceStatusReport& r) {
      if (r.current_state == scm::kRunning) {
        EXPECT_EQ(control(code), scm::kNoError);
      }
    };
  }
};

ServiceStatusReport report(std::uint32_t state, std::uint32_t controls, std::uint32_t check_point,
                           std::uint32_t wait_hint) {
  return ServiceStatusReport{0x10, state, controls, 0, 0, check_point, wait_hint};
}

std::vector<ServiceStatusReport> expected_stop(std::uint32_t last_check_point) {
  std::vector<ServiceStatusReport> r{report(4, 0x5, 0, 0)};
  for (std::uint32_t n = 1; n <= last_check_point; ++n) r.push_back(report(3, 0, n, 10000));
  r.push_back(report(1, 0, 0, 0));
  return r;
}

struct ServiceMainTest : ::testing::Test {
  FakeScm scm;
  FakeClock clock;
  int server_runs = 0;
  void run() {
    run_service_main(scm, clock, [this] { ++server_runs; });
  }
};

TEST_F(ServiceMainTest, StopWithIdleEngineReportsRunningStopPendingStopped) {
  auto supervisor = std::make_shared<FakeSupervisor>(0);
  scm.supervisor = supervisor;
  scm.send_when_running(scm::kControlStop);
  run();
  EXPECT_EQ(scm.reports, expected_stop(1));
  EXPECT_EQ(supervisor->shutdowns, 1);
  EXPECT_EQ(supervisor->idle_checks, 1);
  EXPECT_TRUE(clock.sleeps.empty());
  EXPECT_EQ(scm.exits, std::vector<int>{0});
  EXPECT_TRUE(scm.worker) << "the worker was started";
}

// The clean-out of what was moved aside may take long: it gets a worker of
// its own, started once RUNNING is out.
TEST_F(ServiceMainTest, RunningIsReportedBeforeTheWorkersStart) {
  std::vector<std::string> order;
  scm.on_report = [&](const ServiceStatusReport& r) {
    order.push_back("report " + std::to_string(r.current_state));
    if (r.current_state == scm::kRunning) scm.control(scm::kControlShutdown);
  };
  scm.run_worker_now = true;
  run_service_main(scm, clock, [&] { order.push_back("server"); }, [&] { order.push_back("clean-out"); });
  EXPECT_EQ(order, (std::vector<std::string>{"report 4", "server", "clean-out", "report 3", "report 1"}));
  EXPECT_EQ(scm.workers_started, 2);
}

TEST_F(ServiceMainTest, EnginePolledEvery100msUntilIdle) {
  auto supervisor = std::make_shared<FakeSupervisor>(3);  // busy, busy, busy, idle
  scm.supervisor = supervisor;
  scm.send_when_running(scm::kControlShutdown);
  run();
  EXPECT_EQ(scm.reports, expected_stop(4));
  EXPECT_EQ(supervisor->shutdowns, 1);
  EXPECT_EQ(supervisor->idle_checks, 4);
  EXPECT_EQ(clock.sleeps, std::vector<Clock::duration>(3, 100ms));
  EXPECT_EQ(scm.exits, std::vector<int>{0});
}

TEST_F(ServiceMainTest, EngineNeverIdleStopsAfterCheckpoint61) {
  auto supervisor = std::make_shared<FakeSupervisor>(std::nullopt);
  scm.supervisor = supervisor;
  scm.send_when_running(scm::kControlStop);
  run();
  EXPECT_EQ(scm.reports, expected_stop(61));
  EXPECT_EQ(supervisor->shutdowns, 1);
  EXPECT_EQ(supervisor->idle_checks, 60);
  EXPECT_EQ(clock.sleeps.size(), 60u);
  EXPECT_EQ(scm.exits, std::vector<int>{0});
}

TEST_F(ServiceMainTest, StopBeforeTheSupervisorIsPublished) {
  scm.send_when_running(scm::kControlStop);
  run();
  EXPECT_EQ(scm.reports, expected_stop(1));
  EXPECT_EQ(scm.supervisor_lookups, 1);
  EXPECT_TRUE(clock.sleeps.empty());
  EXPECT_EQ(scm.exits, std::vector<int>{0});
}

TEST_F(ServiceMainTest, ServerThatReturnsActsLikeAStop) {
  auto supervisor = std::make_shared<FakeSupervisor>(1);
  scm.supervisor = supervisor;
  scm.run_worker_now = true;
  run();  // nobody sends a control: the server's return stops the service
  EXPECT_EQ(server_runs, 1);
  EXPECT_EQ(scm.reports, expected_stop(2));
  EXPECT_EQ(supervisor->shutdowns, 1);
  EXPECT_EQ(scm.exits, std::vector<int>{0});
}

TEST_F(ServiceMainTest, FailedRegistrationReportsNothing) {
  scm.registration_works = false;
  run();
  EXPECT_TRUE(scm.reports.empty());
  EXPECT_FALSE(scm.worker);
  EXPECT_EQ(server_runs, 0);
  EXPECT_TRUE(scm.exits.empty());
}

// A process that may not serve stops at once: the SCM shows the reason as a
// service-specific error, and nothing runs, waits or is cleaned out.
TEST_F(ServiceMainTest, RefusedStartReportsOnlyStoppedWithItsCode) {
  refuse_service_main(scm, 30);
  ASSERT_TRUE(scm.handler);
  EXPECT_EQ(scm.reports, (std::vector<ServiceStatusReport>{{0x10, 1, 0, 1066, 30, 0, 0}}));
  EXPECT_EQ(scm.exits, std::vector<int>{30});
  EXPECT_EQ(scm.workers_started, 0);
  EXPECT_EQ(scm.supervisor_lookups, 0);
  EXPECT_EQ(scm.control(scm::kControlStop), scm::kNoError);  // nothing left to stop
}

TEST_F(ServiceMainTest, ControlsAfterTheStopChangeNothing) {
  auto supervisor = std::make_shared<FakeSupervisor>(0);
  scm.supervisor = supervisor;
  scm.on_report = [&](const ServiceStatusReport& r) {
    if (r.current_state != scm::kRunning) return;
    EXPECT_EQ(scm.control(scm::kControlStop), scm::kNoError);
    EXPECT_FALSE(scm.handler->sender) << "the handler let go of its sender";
    EXPECT_EQ(scm.control(scm::kControlStop), scm::kNoError);
    EXPECT_EQ(scm.control(scm::kControlShutdown), scm::kNoError);
    EXPECT_EQ(scm.control(scm::kControlInterrogate), scm::kNoError);
  };
  run();
  EXPECT_EQ(scm.reports, expected_stop(1));
  EXPECT_EQ(supervisor->shutdowns, 1);
}

// The control handler on its own.
struct ControlTableTest : ::testing::Test {
  StopReceiver receiver;
  HandlerContext context;
  ControlTableTest() { context.sender.emplace(receiver.sender()); }
};

TEST_F(ControlTableTest, StopAndShutdownSendOnceAndReleaseTheSender) {
  for (std::uint32_t code : {scm::kControlStop, scm::kControlShutdown}) {
    StopReceiver r;
    HandlerContext c;
    c.sender.emplace(r.sender());
    EXPECT_EQ(handle_service_control(c, code), 0u) << code;
    EXPECT_EQ(r.messages(), 1u) << code;
    EXPECT_FALSE(c.sender) << code;
    EXPECT_EQ(handle_service_control(c, code), 0u) << code;
    EXPECT_EQ(r.messages(), 1u) << code;
  }
}

TEST_F(ControlTableTest, InterrogateAnswersWithoutEffect) {
  EXPECT_EQ(handle_service_control(context, scm::kControlInterrogate), 0u);
  EXPECT_EQ(receiver.messages(), 0u);
  EXPECT_TRUE(context.sender);
}

TEST_F(ControlTableTest, PreshutdownIsNotImplementedAndReleasesTheSender) {
  EXPECT_EQ(handle_service_control(context, scm::kControlPreshutdown), 120u);
  EXPECT_EQ(receiver.messages(), 0u);
  EXPECT_FALSE(context.sender);
}

TEST_F(ControlTableTest, EveryOtherControlIsNotImplemented) {
  for (std::uint32_t code : {scm::kControlPause, scm::kControlContinue, scm::kControlParamChange, 0u, 7u, 0x0Eu,
                             0x10u, 0x80u, 0xFFu, 0xFFFFFFFFu}) {
    EXPECT_EQ(handle_service_control(context, code), 120u) << code;
  }
  EXPECT_EQ(receiver.messages(), 0u);
  EXPECT_TRUE(context.sender);
}

TEST(ControlTable, StopAfterTheReceiverIsGoneIsIgnored) {
  HandlerContext context;
  {
    StopReceiver receiver;
    context.sender.emplace(receiver.sender());
  }
  EXPECT_EQ(handle_service_control(context, scm::kControlStop), 0u);
  EXPECT_FALSE(context.sender);
}

}  // namespace
}  // namespace velk
