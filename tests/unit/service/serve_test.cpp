// The serve mode's choice between the service dispatcher and the console
// server, over the raw command line split by the Windows rules.

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "service/serve.h"
#include "service/serving_claim.h"
#include "manual_clock.h"
#include "temp_dir.h"
#include "wfp/engine_path.h"

namespace velk {
namespace {

class FakeServePlatform final : public ServePlatform {
 public:
  std::optional<std::filesystem::path> exe = std::filesystem::path("/install/velkvpn-helper.exe");
  std::u16string command_line;
  std::vector<std::string>* events = nullptr;

  std::optional<std::filesystem::path> executable_path() override { return exe; }
  std::u16string raw_command_line() override { return command_line; }
  void run_service_dispatcher() override { events->push_back("dispatcher"); }
};

struct ServeTest : ::testing::Test {
  FakeServePlatform platform;
  std::vector<std::string> events;
  std::vector<HelperConfig> served;
  std::optional<HelperConfig> stored;
  std::shared_ptr<StateFiles> state_files = no_state_files();
  std::string errors;
  test::ManualClock clock;
  ServeHooks hooks;

  ServeTest() {
    platform.events = &events;
    hooks.publish_engine_path = [this](const std::filesystem::path& p) { events.push_back("engine " + p.string()); };
    hooks.open_state_dir = [this](const std::filesystem::path& dir, StateDirUse use) {
      events.push_back((use == StateDirUse::default_dir ? "open default " : "open given ") + dir.string());
      return state_files;
    };
    hooks.run_pipe_server = [this](const HelperConfig& c) {
      events.push_back("server");
      served.push_back(c);
    };
    hooks.report_error = [this](std::string_view line) { errors += line; };
    hooks.clock = &clock;
  }

  int run(std::u16string line, HelperOptions options = {}) {
    platform.command_line = std::move(line);
    return run_serve_with(options, platform, hooks, "/state", [this](HelperConfig c) -> const HelperConfig& {
      events.push_back("config");
      if (!stored) stored = std::move(c);
      return *stored;
    });
  }
};

TEST_F(ServeTest, ServiceWordEntersTheDispatcherAfterPublishing) {
  run(u"C:\\velk\\velkvpn-helper.exe --service");
  EXPECT_EQ(events, (std::vector<std::string>{"engine /install/velkvpn-engine.exe", "open default /state", "config",
                                              "dispatcher"}));
  ASSERT_TRUE(stored);
  EXPECT_EQ(*stored,
            (HelperConfig{"\\\\.\\pipe\\velkvpn-helper", "/install/velkvpn-engine.exe", "/state", state_files}));
}

TEST_F(ServeTest, WithoutTheWordTheServerRunsInTheForeground) {
  HelperOptions options;
  options.socket = "\\\\.\\pipe\\test";
  options.state_dir = "/mine";  // the caller's directory: used as it stands
  run(u"velkvpn-helper.exe --socket \\\\.\\pipe\\test --services --Service", options);
  EXPECT_EQ(events,
            (std::vector<std::string>{"engine /install/velkvpn-engine.exe", "open given /mine", "config", "server"}));
  ASSERT_EQ(served.size(), 1u);
  EXPECT_EQ(served[0].socket_path, "\\\\.\\pipe\\test");
}

TEST_F(ServeTest, ConsoleServerGetsTheStoredConfiguration) {
  stored = HelperConfig{"first", "first-engine", "first-state"};
  run(u"velkvpn-helper.exe");
  ASSERT_EQ(served.size(), 1u);
  EXPECT_EQ(served[0], *stored);
}

TEST_F(ServeTest, ArgumentsAreSplitByTheWindowsRules) {
  run(u"\"C:\\Program Files\\VELK\\velkvpn-helper.exe\" \"--service\"");
  EXPECT_EQ(events.back(), "dispatcher");
  events.clear();
  run(u"velkvpn-helper.exe \"--service x\"");
  EXPECT_EQ(events.back(), "server");
  events.clear();
  run(u"velkvpn-helper.exe --socket --service");  // the socket's value still counts as a raw argument
  EXPECT_EQ(events.back(), "dispatcher");
}

// One serving process per state directory: the claim is taken before the
// server (and so the supervisor and the watcher) exists and stays with the
// stored configuration; a process that cannot take it serves nothing.
TEST_F(ServeTest, OnlyTheProcessHoldingTheClaimServes) {
  test::TempDir dir;
  const std::string served_dir = dir.path().string();
  struct Case {
    const char* name;
    std::function<std::unique_ptr<HeldFile>()> before;  // what else is there
    bool service;
    int exit;
    std::string error;
    std::string last_event;
  };
  std::shared_ptr<StateFiles> files = state_files_at(dir.path());
  const std::string refused = "velkvpn-helper: another helper already serves the state directory " + served_dir + "\n";
  const std::vector<Case> cases = {
      {"free", [] { return nullptr; }, false, 0, "", "server"},
      {"held by a console run", [&] { return files->hold_exclusively(kServingClaimName).file; }, false, 30, refused,
       "config"},
      {"held, as a service", [&] { return files->hold_exclusively(kServingClaimName).file; }, true, 0, refused,
       "dispatcher"},
      {"a directory in its place",
       [&] {
         std::filesystem::create_directory(dir.path() / kServingClaimName);
         return nullptr;
       },
       false, 31,
       "velkvpn-helper: cannot claim the state directory " + served_dir + " (serving.lock); not serving\n", "config"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove_all(dir.path() / kServingClaimName);
    std::unique_ptr<HeldFile> other = c.before();
    events.clear();
    errors.clear();
    stored.reset();
    state_files = files;
    HelperOptions options;
    options.state_dir = served_dir;
    EXPECT_EQ(run(c.service ? u"velkvpn-helper.exe --service" : u"velkvpn-helper.exe", options), c.exit);
    EXPECT_EQ(errors, c.error);
    EXPECT_EQ(events.back(), c.last_event);
    ASSERT_TRUE(stored);
    EXPECT_EQ(stored->refused_exit, c.service ? 30 : c.exit);
    EXPECT_EQ(stored->claim != nullptr, c.error.empty());
    // Only a claim held elsewhere is asked for again, 2 s long.
    EXPECT_EQ(clock.sleeps.size(), c.exit == 30 || c.service ? 19u : 0u);
    clock.sleeps.clear();
    if (stored->claim) {
      // Held for as long as the configuration is.
      EXPECT_EQ(files->hold_exclusively(kServingClaimName).outcome, ExclusiveHold::Outcome::in_use);
      stored.reset();
      served.clear();
      EXPECT_EQ(files->hold_exclusively(kServingClaimName).outcome, ExclusiveHold::Outcome::held);
    }
  }
}

// A service that reported its stop may still be ending while its successor
// starts: the claim is asked for again for two seconds.
TEST(ServingClaim, APredecessorThatEndsWithinTheRetriesLetsTheSuccessorServe) {
  class ReleasingClock final : public Clock {
   public:
    std::unique_ptr<HeldFile> predecessor;
    int sleeps = 0;
    time_point now() override { return {}; }
    void sleep_for(duration) override {
      if (++sleeps == 5) predecessor.reset();
    }
  };
  test::TempDir dir;
  std::shared_ptr<StateFiles> files = state_files_at(dir.path());
  ReleasingClock clock;
  clock.predecessor = files->hold_exclusively(kServingClaimName).file;
  ASSERT_TRUE(clock.predecessor);
  const ServingClaim claim = claim_state_dir(*files, dir.path(), clock);
  EXPECT_TRUE(claim.hold);
  EXPECT_EQ(claim.refused_exit, 0);
  EXPECT_EQ(clock.sleeps, 5);
}

TEST_F(ServeTest, WithoutAStateDirectoryNothingIsClaimedAndTheServerRuns) {
  EXPECT_EQ(run(u"velkvpn-helper.exe"), 0);
  EXPECT_EQ(events.back(), "server");
  ASSERT_TRUE(stored);
  EXPECT_EQ(stored->claim, nullptr);
  EXPECT_EQ(errors, "");
}

TEST(ServeHooksDefaults, EnginePathGoesToThePublishedSlot) {
  set_published_engine_path(std::nullopt);
  ServeHooks hooks;
  hooks.publish_engine_path("/install/velkvpn-engine.exe");
  EXPECT_EQ(published_engine_path(), std::filesystem::path("/install/velkvpn-engine.exe"));
  set_published_engine_path(std::nullopt);
}

}  // namespace
}  // namespace velk
