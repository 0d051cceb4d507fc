#include "main/run_mode.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "fake_filter_ops.h"
#include "temp_dir.h"

namespace velk {
namespace {

using test::FakeFilterOps;
using Call = FakeFilterOps::Call;

class RunModeTest : public ::testing::Test {
 protected:
  int run(std::vector<std::string> args) {
    out_.clear();
    err_.clear();
    ConsoleStreams console{[&](std::string_view s) { out_ += s; }, [&](std::string_view s) { err_ += s; }};
    ModeDependencies deps{[&] { return test::borrow(filters_); }};
    return run_process(args, console, deps);
  }
  std::string dir() const { return (tmp_.path() / "state").string(); }
  std::filesystem::path file() const { return tmp_.path() / "state" / "killswitch.json"; }
  void save(const std::string& text) {
    (void)open_state_dir(file().parent_path(), StateDirUse::given_dir);  // made as the helper makes it
    std::ofstream(file(), std::ios::binary) << text;
  }

  test::TempDir tmp_;
  FakeFilterOps filters_;
  std::string out_, err_;
};

TEST_F(RunModeTest, RecoverRemovesFileAndFilters) {
  save(R"({"version":1,"pins":{},"owner":"S-1-5-21-7"})");
  filters_.preinstall({});
  EXPECT_EQ(run({"--recover", "--state-dir", dir()}), 0);
  EXPECT_EQ(out_, "VELK VPN no longer blocks the network.\n");
  EXPECT_EQ(err_, "");
  EXPECT_FALSE(std::filesystem::exists(file()));
  EXPECT_FALSE(filters_.installed());
}

TEST_F(RunModeTest, RecoverWithNothingToRemoveSucceeds) {
  EXPECT_EQ(run({"--service", "--recover", "--state-dir", dir()}), 0);  // --service does not start a service
  EXPECT_EQ(out_, "VELK VPN no longer blocks the network.\n");
  EXPECT_EQ(filters_.calls(), std::vector<Call>{Call::remove});
}

TEST_F(RunModeTest, RecoverFailureNamesTheCode) {
  filters_.fail_remove(true);
  EXPECT_EQ(run({"--recover", "--state-dir", dir()}), 1);
  EXPECT_EQ(out_, "");
  EXPECT_EQ(err_, "velkvpn-helper: could not remove the block (killswitch_failed). Are you root?\n");
}

TEST_F(RunModeTest, RecoverIsNotStoppedByADirectoryAtTheStateFileName) {
  std::filesystem::create_directories(file() / "child");
  filters_.preinstall({});
  EXPECT_EQ(run({"--recover", "--state-dir", dir()}), 0);
  EXPECT_FALSE(filters_.installed());
}

// A link given as the state directory is neither followed nor replaced: the
// modes go on without a directory (nothing restored, the filters still removed)
// and say so.
TEST_F(RunModeTest, ALinkGivenAsTheStateDirectoryIsLeftAloneAndNeverFollowed) {
  const auto elsewhere = tmp_.path() / "elsewhere";
  std::filesystem::create_directories(elsewhere);
  std::ofstream(elsewhere / "killswitch.json", std::ios::binary) << R"({"version":1,"pins":{},"owner":"S-1-5-21-9"})";
  std::filesystem::create_directory_symlink(elsewhere, dir());
  for (const char* mode : {"--arm-from-state", "--recover"}) {
    EXPECT_EQ(run({mode, "--state-dir", dir()}), 0) << mode;
    EXPECT_NE(err_.find("velkvpn-helper: the state directory " + dir()), std::string::npos) << mode << err_;
    EXPECT_TRUE(std::filesystem::is_symlink(dir())) << mode;
    EXPECT_TRUE(std::filesystem::exists(elsewhere / "killswitch.json")) << mode;
  }
  EXPECT_EQ(out_, kRecoveredText);
  EXPECT_EQ(filters_.calls(), std::vector<Call>{Call::remove});  // nothing restored from the linked file
}

TEST_F(RunModeTest, ArmFromStateWithoutFileDoesNothing) {
  EXPECT_EQ(run({"--arm-from-state", "--state-dir", dir()}), 0);
  EXPECT_EQ(out_, "");
  EXPECT_EQ(err_, "");
  EXPECT_TRUE(filters_.calls().empty());
  EXPECT_FALSE(std::filesystem::exists(file()));
}

TEST_F(RunModeTest, ArmFromStateRestoresWithoutPins) {
  save(R"({"version":1,"pins":{"vpn.example":"10.0.0.1"},"owner":"S-1-5-21-7"})");
  EXPECT_EQ(run({"--arm-from-state", "--state-dir", dir()}), 0);
  EXPECT_EQ(out_, "");
  EXPECT_EQ(err_, "");
  EXPECT_EQ(filters_.installs(), std::vector<std::vector<Pin>>{{}});
  EXPECT_TRUE(std::filesystem::exists(file()));

  save("not json");  // an unreadable file still restores the block
  EXPECT_EQ(run({"--arm-from-state", "--state-dir", dir()}), 0);
  EXPECT_EQ(filters_.installs().size(), 2u);
}

TEST_F(RunModeTest, ArmFromStateFailureIsOnlyAMessage) {
  save(R"({"version":1,"pins":{}})");
  filters_.fail_install(true);
  EXPECT_EQ(run({"--arm-from-state", "--state-dir", dir()}), 0);
  EXPECT_EQ(out_, "");
  EXPECT_EQ(err_, "velkvpn-helper: could not restore the kill switch\n");
}

TEST_F(RunModeTest, WithoutAFilteringEngineBothModesFailSafely) {
  save(R"({"version":1,"pins":{}})");
  ConsoleStreams console{[&](std::string_view s) { out_ += s; }, [&](std::string_view s) { err_ += s; }};
  ModeDependencies none{[] { return std::unique_ptr<FilterOps>(); }};
  std::vector<std::string> recover{"--recover", "--state-dir", dir()};
  EXPECT_EQ(run_process(recover, console, none), 1);
  EXPECT_EQ(err_, "velkvpn-helper: could not remove the block (killswitch_failed). Are you root?\n");
  EXPECT_FALSE(std::filesystem::exists(file()));  // the file went first, as always

  // The user's "off" stands: a boot still without a filtering engine puts no
  // block back from it, and it is completed once the engine works.
  err_.clear();
  std::vector<std::string> arm{"--arm-from-state", "--state-dir", dir()};
  EXPECT_EQ(run_process(arm, console, none), 0);
  EXPECT_EQ(err_, "");
  EXPECT_FALSE(std::filesystem::exists(file()));
  test::FakeFilterOps filters;
  filters.preinstall({});
  EXPECT_EQ(run_process(arm, console, ModeDependencies{[&] { return test::borrow(filters); }}), 0);
  EXPECT_FALSE(filters.installed());
  EXPECT_FALSE(std::filesystem::exists(file()));
}

TEST_F(RunModeTest, CommandLineExitsAndUnbuiltModes) {
  EXPECT_EQ(run({"--version", "--recover"}), 0);
  EXPECT_EQ(out_, "velkvpn-helper 0.1.8\n");
  EXPECT_EQ(run({"--recover", "--bogus"}), 2);
  EXPECT_EQ(out_, "");
  EXPECT_TRUE(filters_.calls().empty());
  EXPECT_EQ(run({"--upgrade-inspect"}), 1);
  EXPECT_EQ(err_, "velkvpn-helper: this mode is not available in this build\n");
  EXPECT_EQ(run({"--diagnose"}), 1);
  EXPECT_EQ(err_, "velkvpn-helper: this mode is not available in this build\n");
}

// --diagnose gets the resolved state directory and looks at it itself:
// nothing is opened, created or moved for it beforehand.
TEST_F(RunModeTest, DiagnoseRunsWithTheStateDirectoryUntouched) {
  ConsoleStreams console{[&](std::string_view s) { out_ += s; }, [&](std::string_view s) { err_ += s; }};
  std::optional<std::filesystem::path> seen;
  ModeDependencies deps{[&] { return test::borrow(filters_); }};
  deps.diagnose = [&](const HelperOptions& o, const std::filesystem::path& state_dir) {
    EXPECT_TRUE(o.json);
    seen = state_dir;
    return 1;
  };
  std::vector<std::string> args{"--diagnose", "--json", "--state-dir", dir()};
  EXPECT_EQ(run_process(args, console, deps), 1);
  EXPECT_EQ(seen, std::optional<std::filesystem::path>(dir()));
  EXPECT_FALSE(std::filesystem::exists(dir()));
  EXPECT_TRUE(filters_.calls().empty());
}

TEST_F(RunModeTest, ServeRunsTheServeModeWithTheParsedOptions) {
  ConsoleStreams console{[&](std::string_view s) { out_ += s; }, [&](std::string_view s) { err_ += s; }};
  std::optional<HelperOptions> seen;
  ModeDependencies deps{[&] { return test::borrow(filters_); },
                        [&](const HelperOptions& o) {
                          seen = o;
                          return 0;
                        }};
  std::vector<std::string> args{"--socket", "P", "--service", "--engine", "E"};
  EXPECT_EQ(run_process(args, console, deps), 0);
  ASSERT_TRUE(seen);
  EXPECT_EQ(seen->socket, std::optional<std::string>("P"));
  EXPECT_EQ(seen->engine, std::optional<std::filesystem::path>("E"));
  EXPECT_TRUE(filters_.calls().empty());  // serving never touches the filters from here
  // --recover wins over --service: the repair mode runs, not the server.
  seen.reset();
  std::vector<std::string> recover{"--service", "--recover", "--state-dir", dir()};
  EXPECT_EQ(run_process(recover, console, deps), 0);
  EXPECT_FALSE(seen);
}

TEST_F(RunModeTest, InstallerModesRunTheInstallerWithTheStateDirectory) {
  ConsoleStreams console{[&](std::string_view s) { out_ += s; }, [&](std::string_view s) { err_ += s; }};
  struct Seen {
    RunMode mode;
    std::optional<std::filesystem::path> target;
    std::filesystem::path state_dir;
    bool writable;
  };
  std::vector<Seen> seen;
  ModeDependencies deps{[&] { return test::borrow(filters_); }, {},
                        [&](const HelperOptions& o, const std::filesystem::path& state_dir,
                            std::shared_ptr<StateFiles> files) {
                          seen.push_back({o.mode, o.target, state_dir, files->write_flushed("probe", "x")});
                          return 23;
                        }};
  const std::vector<std::vector<std::string>> lines{{"--upgrade-inspect", "--state-dir", dir()},
                                                    {"--install-from-stage", "D", "--state-dir", dir()},
                                                    {"--remove-service", "D", "--state-dir", dir()}};
  for (const auto& line : lines) EXPECT_EQ(run_process(line, console, deps), 23) << line[0];
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(seen[0].mode, RunMode::upgrade_inspect);
  EXPECT_EQ(seen[1].mode, RunMode::install_from_stage);
  EXPECT_EQ(seen[1].target, std::optional<std::filesystem::path>("D"));
  EXPECT_EQ(seen[2].mode, RunMode::remove_service);
  for (const Seen& s : seen) EXPECT_EQ(s.state_dir, std::filesystem::path(dir()));
  EXPECT_EQ(err_, "");
  // Inspection comes first and makes nothing; the install modes made the directory.
  EXPECT_FALSE(seen[0].writable);
  EXPECT_TRUE(seen[1].writable);
}

}  // namespace
}  // namespace velk
