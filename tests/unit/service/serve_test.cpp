// The serve mode's choice between the service dispatcher and the console
// server, over the raw command line split by the Windows rules.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "service/serve.h"
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
  }

  void run(std::u16string line, HelperOptions options = {}) {
    platform.command_line = std::move(line);
    run_serve_with(options, platform, hooks, "/state", [this](HelperConfig c) -> const HelperConfig& {
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

TEST(ServeHooksDefaults, EnginePathGoesToThePublishedSlot) {
  set_published_engine_path(std::nullopt);
  ServeHooks hooks;
  hooks.publish_engine_path("/install/velkvpn-engine.exe");
  EXPECT_EQ(published_engine_path(), std::filesystem::path("/install/velkvpn-engine.exe"));
  set_published_engine_path(std::nullopt);
}

}  // namespace
}  // namespace velk
