// The serve mode's choice between the service dispatcher and the console
// server, over the raw command line split by the Windows rules.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "service/serve.h"
#include "service/serving_claim.h"
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
  // Counts the claim's pauses; at the `release_at`-th the other holder lets go.
  struct PauseClock final : Clock {
    ServeTest* test = nullptr;
    std::size_t pauses = 0;
    time_point now() override { return {}; }
    void sleep_for(duration) override {
      if (++pauses == test->release_at) test->held_elsewhere.reset();
    }
  } clock;
  std::unique_ptr<HeldFile> held_elsewhere;
  std::size_t release_at = 0;
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
    clock.test = this;
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

// The claim is taken before the server (so the supervisor and the watcher)
// exists and is held with the stored configuration; a process that cannot
// take it within 2 s serves nothing.
TEST_F(ServeTest, OnlyTheProcessHoldingTheClaimServes) {
  enum class There { nothing, holder, holder_ending, directory, no_state_dir };
  struct Case { There there; bool service; int exit; std::size_t pauses; };
  const Case cases[] = {{There::nothing, false, 0, 0},    {There::holder, false, 30, 19},
                        {There::holder, true, 0, 19},     {There::holder_ending, false, 0, 5},
                        {There::directory, false, 31, 0}, {There::no_state_dir, false, 0, 0}};
  test::TempDir dir;
  const std::string path = dir.path().string();
  const std::shared_ptr<StateFiles> files = state_files_at(dir.path());
  for (const Case& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.there) * 10 + c.service);
    std::filesystem::remove_all(dir.path() / kServingClaimName);
    if (c.there == There::holder || c.there == There::holder_ending) {
      held_elsewhere = files->hold_exclusively(kServingClaimName).file;
    }
    if (c.there == There::directory) std::filesystem::create_directory(dir.path() / kServingClaimName);
    release_at = c.there == There::holder_ending ? 5 : 0;
    state_files = c.there == There::no_state_dir ? no_state_files() : files;
    events.clear(), errors.clear(), stored.reset(), served.clear(), clock.pauses = 0;
    HelperOptions options;
    options.state_dir = path;
    EXPECT_EQ(run(c.service ? u"velkvpn-helper.exe --service" : u"velkvpn-helper.exe", options), c.exit);
    const int refused = c.service ? 30 : c.exit;
    EXPECT_EQ(events.back(), c.service ? "dispatcher" : refused != 0 ? "config" : "server");
    EXPECT_EQ(errors, refused == 30   ? "velkvpn-helper: another helper already serves the state directory " + path + "\n"
                      : refused == 31 ? "velkvpn-helper: cannot claim the state directory " + path +
                                            " (serving.lock); not serving\n"
                                      : "");
    EXPECT_EQ(clock.pauses, c.pauses);
    ASSERT_TRUE(stored);
    EXPECT_EQ(stored->refused_exit, refused);
    EXPECT_EQ(stored->claim != nullptr, refused == 0 && c.there != There::no_state_dir);
    held_elsewhere.reset();
    if (stored->claim) {  // held for as long as the configuration is
      EXPECT_EQ(files->hold_exclusively(kServingClaimName).outcome, ExclusiveHold::Outcome::in_use);
      stored.reset(), served.clear();
      EXPECT_EQ(files->hold_exclusively(kServingClaimName).outcome, ExclusiveHold::Outcome::held);
    }
  }
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
