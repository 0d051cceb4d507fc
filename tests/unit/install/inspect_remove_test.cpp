// --upgrade-inspect and --remove-service against the faked system.

#include <gtest/gtest.h>

#include "install/run_installer.h"
#include "install_world.h"

namespace velk::test {
namespace {

using Lines = std::vector<std::string>;

// Neither a saved kill switch nor filters.
void nothing_saved(InstallWorld& w) {
  std::filesystem::remove(w.state_file());
  (void)w.filters.remove_filters();
}

TEST(Inspect, ReportsWhatIsActive) {
  struct Case {
    std::string name;
    std::function<void(InstallWorld&)> arrange;
    std::string line;
    int code;
  };
  const Case cases[] = {
      {"nothing",
       [](InstallWorld& w) {
         w.scm.registered = false;
         nothing_saved(w);
       },
       "inspect: vpn wanted false, service not answering false, saved state false, filters false", 0},
      {"stopped service that cannot answer",
       [](InstallWorld& w) {
         w.scm.state = scm::kStopped;
         nothing_saved(w);
       },
       "inspect: vpn wanted false, service not answering false, saved state false, filters false", 0},
      {"running service that does not answer",
       [](InstallWorld& w) {
         w.helper.silent = true;
         nothing_saved(w);
       },
       "inspect: vpn wanted false, service not answering true, saved state false, filters false", 10},
      {"vpn wanted, saved state and filters", [](InstallWorld& w) { w.helper.wanted = true; },
       "inspect: vpn wanted true, service not answering false, saved state true, filters true", 10},
      {"saved state only",
       [](InstallWorld& w) { (void)w.filters.remove_filters(); },
       "inspect: vpn wanted false, service not answering false, saved state true, filters false", 10},
      {"filters that cannot be listed",
       [](InstallWorld& w) {
         nothing_saved(w);
         w.filters.fail_list(true);
         w.filters.on_call({});
       },
       "inspect: vpn wanted false, service not answering false, saved state false, filters true", 10},
  };
  for (const Case& c : cases) {
    InstallWorld w;
    c.arrange(w);
    EXPECT_EQ(w.inspect(), c.code) << c.name;
    EXPECT_EQ(w.lines, Lines{c.line}) << c.name;
    EXPECT_TRUE(w.scm.controls.empty()) << "inspection changes nothing";
  }
}

TEST(Remove, TakesTheHelperOutAndAgainIsANoOp) {
  InstallWorld w;
  EXPECT_EQ(w.remove(), 0);
  EXPECT_TRUE(w.lines.empty());
  EXPECT_FALSE(w.scm.registered);
  EXPECT_FALSE(w.filters.installed());
  EXPECT_FALSE(std::filesystem::exists(w.state_file()));
  EXPECT_EQ(w.helper.turned_off, 1);
  EXPECT_EQ(w.files_in(w.dir()), InstallWorld::kOldFiles) << "the files stay for the caller to delete";

  w.taskkill.runs.clear();
  EXPECT_EQ(w.remove(), 0);
  EXPECT_EQ(w.taskkill.runs, Lines{"/IM velkvpn.exe"}) << "no service: no VPN-off, stop or delete";
}

TEST(Remove, EndsWithTheFirstFailingStep) {
  struct Case {
    std::string name;
    std::function<void(InstallWorld&)> arrange;
    int code;
    Lines lines;
  };
  const Case cases[] = {
      {"refused and not stopping",
       [](InstallWorld& w) {
         w.helper.refusal = "not_session_owner";
         w.scm.ignores_stop = true;
         w.scm.survives_taskkill = true;
       },
       21, {"the helper answered: not_session_owner", "the service did not stop in time: ending its process"}},
      {"filters stay", [](InstallWorld& w) { w.filters_stuck = true; }, 22,
       Lines(3, "removing filters: killswitch_failed")},
      {"held open elsewhere", [](InstallWorld& w) { w.scm.keeps_handle_open = true; }, 24,
       {"Windows has not finished removing the old service"}},
      {"desktop application held", [](InstallWorld& w) { w.write(w.dir() / "velkvpn.exe", "app"); w.files.busy["velkvpn.exe"] = {}; },
       23, {"velkvpn.exe is in use"}},
  };
  for (const Case& c : cases) {
    InstallWorld w;
    c.arrange(w);
    EXPECT_EQ(w.remove(), c.code) << c.name;
    EXPECT_EQ(w.lines, c.lines) << c.name;
  }
}

TEST(RunInstaller, DirectoryMissingGivesTwoAndAnEmptyLog) {
  InstallWorld w;
  for (RunMode mode : {RunMode::install_from_stage, RunMode::remove_service}) {
    HelperOptions options;
    options.mode = mode;
    std::string out;
    EXPECT_EQ(run_installer(options, state_files_at(w.state_dir()), w.system,
                            [&](std::string_view s) { out += s; }),
              2);
    EXPECT_EQ(out, "");
  }
  EXPECT_TRUE(std::filesystem::exists(w.state_dir() / "install.log"));
  EXPECT_EQ(std::filesystem::file_size(w.state_dir() / "install.log"), 0u);
  EXPECT_TRUE(w.scm.running()) << "nothing was done";
}

}  // namespace
}  // namespace velk::test
