// Starting and ending the engine: the termination sequence against a fake
// process and clock, the once-only job, and the launcher with the engine
// stand-in as a real child talking through its controller.

#include "supervisor/engine_process.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <fstream>
#include <thread>

#include "engine_fakes.h"
#include "ipc/error_codes.h"
#include "standin_harness.h"
#include "supervisor/controller_client.h"
#include "supervisor/job_object.h"
#include "temp_dir.h"

namespace velk::test {
namespace {

using namespace std::chrono_literals;

// ---- Termination ----

TEST(TerminateEngine, KillsAsksBoundedlyThenEndsTheLeftovers) {
  const struct {
    std::optional<int> exits_after_polls;  // none: survives every kill
    int polls;
    int kills;
  } cases[] = {{1, 1, 1}, {3, 3, 1}, {50, 50, 1}, {std::nullopt, 70, 2}};
  for (const auto& c : cases) {
    FakeEngineProcess p;
    p.exits_after_polls = c.exits_after_polls;
    ManualClock clock;
    terminate_engine(p, clock);
    const auto count = [&](const char* what) { return std::count(p.log.begin(), p.log.end(), what); };
    EXPECT_EQ(count("poll"), c.polls);
    EXPECT_EQ(count("kill"), c.kills);
    EXPECT_EQ(count("wait"), 0);  // never a wait without a bound
    EXPECT_EQ(p.log.front(), "kill");
    EXPECT_EQ(p.log.back(), "leftovers");
    // 100 ms after each "not yet": about 5 seconds, then 2 more at most.
    const int sleeps = c.exits_after_polls ? c.polls - 1 : 70;
    EXPECT_EQ(clock.sleeps, (std::vector<Clock::duration>(sleeps, 100ms)));
  }
}

// ---- The job, made once ----

TEST(FirstUseJob, MadeAtFirstUseAndKept) {
  int made = 0;
  FirstUseJob<int> job([&]() -> std::optional<int> { return ++made * 10; });
  EXPECT_EQ(made, 0);
  EXPECT_EQ(job.get(), 10);
  EXPECT_EQ(job.get(), 10);
  EXPECT_EQ(made, 1);
}

TEST(FirstUseJob, FailureIsNotRetried) {
  int tries = 0;
  FirstUseJob<int> job([&]() -> std::optional<int> {
    ++tries;
    return std::nullopt;
  });
  EXPECT_EQ(job.get(), std::nullopt);
  EXPECT_EQ(job.get(), std::nullopt);
  EXPECT_EQ(tries, 1);
}

// ---- The launcher ----

TEST(EngineLauncher, MissingExecutableIsEngineMissing) {
  TempDir dir;
  auto launcher = make_engine_launcher();
  auto r = launcher->start(dir.path() / "velkvpn-engine");
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error(), err::engine_missing);
  auto in_missing_dir = launcher->start(dir.path() / "no-such-dir" / "velkvpn-engine");
  ASSERT_FALSE(in_missing_dir.ok());
  EXPECT_EQ(in_missing_dir.error(), err::engine_missing);
}

TEST(EngineLauncher, UnstartableExecutableIsEngineSpawn) {
  TempDir dir;
  auto file = dir.path() / "velkvpn-engine";
  std::ofstream(file) << "not a program";
  ::chmod(file.c_str(), 0644);
  auto launcher = make_engine_launcher();
  auto r = launcher->start(file);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error(), err::engine_spawn);
  auto dir_as_program = launcher->start(dir.path());
  ASSERT_FALSE(dir_as_program.ok());
  EXPECT_EQ(dir_as_program.error(), err::engine_spawn);
}

// One stand-in started the way the engine thread starts the engine.
struct RunningStandin {
  ControllerAccess access = test_access();
  std::unique_ptr<EngineLauncher> launcher = make_engine_launcher();
  std::unique_ptr<EngineProcess> process;
  std::string config;
  EngineRequest request;  // what the stand-in was configured with (its tags)

  explicit RunningStandin(std::vector<std::string> routes = {"srv-1", "srv-2"}, std::string selected = "auto") {
    config = standin_config(access, routes, selected);
    for (const auto& tag : routes) request.routes.push_back(Route{.tag = tag});
    auto r = launcher->start(standin_path());
    if (!r.ok()) {
      ADD_FAILURE() << "stand-in did not start: " << r.error();
      return;
    }
    process = std::move(*r);
    EXPECT_TRUE(process->write_input_and_close(config));
  }
  ~RunningStandin() {
    if (process) terminate_engine(*process, system_clock());
  }
};

TEST(EngineStandin, ReceivesTheFixedArgumentsAndTheWholeConfiguration) {
  TempDir dir;
  auto record = dir.path() / "record.json";
  ScopedEnv env({{"VELK_STANDIN_RECORD", record.string()}});
  RunningStandin engine;
  ASSERT_TRUE(engine.process);
  ASSERT_TRUE(await_member(engine.access, "proxy").has_value());
  std::ifstream in(record);
  auto doc = nlohmann::json::parse(in, nullptr, false);
  ASSERT_FALSE(doc.is_discarded());
  EXPECT_EQ(doc["args"], nlohmann::json::array({"run", "-c", "stdin", "--disable-color"}));
  EXPECT_EQ(doc["config"].get<std::string>(), engine.config);
}

TEST(EngineStandin, ControllerAnswersSelectsAndMeasures) {
  ScopedEnv env({{"VELK_STANDIN_DELAY_MS", "srv-1=120,srv-2=fail"}, {"VELK_STANDIN_AUTO_CHECK_MS", "never"}});
  RunningStandin engine;
  ASSERT_TRUE(engine.process);
  EXPECT_EQ(await_member(engine.access, "proxy"), "auto");
  EXPECT_EQ(current_route(engine.access, engine.request, quick_timeouts()), "auto");  // "auto" has not chosen yet

  EXPECT_TRUE(select_route(engine.access, "srv-2", quick_timeouts()).ok());
  EXPECT_EQ(current_member(engine.access, "proxy", quick_timeouts()), "srv-2");
  EXPECT_EQ(current_route(engine.access, engine.request, quick_timeouts()), "srv-2");
  EXPECT_EQ(select_route(engine.access, "srv-9", quick_timeouts()).error(), err::engine_refused);
  EXPECT_EQ(current_member(engine.access, "proxy", quick_timeouts()), "srv-2");

  auto measured = measure_route_delay(engine.access, "srv-1", quick_timeouts());
  ASSERT_TRUE(measured.ok());
  EXPECT_EQ(*measured, 120u);
  auto failed = measure_route_delay(engine.access, "srv-2", quick_timeouts());
  ASSERT_TRUE(failed.ok());
  EXPECT_EQ(*failed, std::nullopt);

  ControllerAccess wrong = engine.access;
  wrong.secret = std::string(64, 'b');
  auto refused = controller_request(wrong, "GET", "/proxies/proxy", std::nullopt, quick_timeouts());
  ASSERT_TRUE(refused.ok());
  EXPECT_EQ(refused->status, 401u);
  EXPECT_EQ(refused->body, "{\"message\":\"Unauthorized\"}\n");
  EXPECT_EQ(current_member(wrong, "proxy", quick_timeouts()), std::nullopt);

  terminate_engine(*engine.process, system_clock());
  EXPECT_TRUE(engine.process->has_exited());
}

TEST(EngineStandin, LatencyGroupHasNoMemberBeforeItsFirstCheck) {
  ScopedEnv env({{"VELK_STANDIN_AUTO_CHECK_MS", "1500"}});
  RunningStandin engine({"srv-a", "srv-b"});
  ASSERT_TRUE(engine.process);
  ASSERT_EQ(await_member(engine.access, "proxy"), "auto");
  EXPECT_EQ(current_member(engine.access, "auto", quick_timeouts()), "");
  EXPECT_EQ(current_route(engine.access, engine.request, quick_timeouts()), "auto");
  auto deadline = std::chrono::steady_clock::now() + 15s;
  while (current_member(engine.access, "auto", quick_timeouts()) == "" && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(100ms);
  }
  EXPECT_EQ(current_route(engine.access, engine.request, quick_timeouts()), "srv-a");
}

TEST(EngineStandin, EngineThatRefusesPoliteSignalsIsStillTerminated) {
  ScopedEnv env({{"VELK_STANDIN_SCENARIO", "hang_on_terminate"}});
  RunningStandin engine;
  ASSERT_TRUE(engine.process);
  ASSERT_TRUE(await_member(engine.access, "proxy").has_value());
  EXPECT_FALSE(engine.process->has_exited());
  terminate_engine(*engine.process, system_clock());
  EXPECT_TRUE(engine.process->has_exited());
  EXPECT_EQ(current_member(engine.access, "proxy", quick_timeouts()), std::nullopt);
}

TEST(EngineStandin, EndOfTheEngineIsSeenWithoutWaiting) {
  ScopedEnv env({{"VELK_STANDIN_SCENARIO", "die_after:0.3"}});
  RunningStandin engine;
  ASSERT_TRUE(engine.process);
  auto deadline = std::chrono::steady_clock::now() + 15s;
  while (!engine.process->has_exited() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(20ms);
  }
  EXPECT_TRUE(engine.process->has_exited());
}

TEST(EngineStandin, WritingToAnEngineThatAlreadyEndedFailsQuietly) {
  ScopedEnv env({{"VELK_STANDIN_SCENARIO", "exit:FATAL[0000] gone"}});
  auto launcher = make_engine_launcher();
  auto r = launcher->start(standin_path());
  ASSERT_TRUE(r.ok());
  auto& p = **r;
  ASSERT_TRUE(p.write_input_and_close("{}"));  // it reads its input before it exits
  p.wait();
  // No SIGPIPE kills the test: a second engine is fed after its end.
  auto r2 = launcher->start(standin_path());
  ASSERT_TRUE(r2.ok());
  (*r2)->kill();
  (*r2)->wait();
  EXPECT_FALSE((*r2)->write_input_and_close(std::string(1 << 20, ' ')));
  EXPECT_FALSE((*r2)->write_input_and_close("again"));  // closed already
}

}  // namespace
}  // namespace velk::test
