// --remove-service and --upgrade-inspect for real.

#include <gtest/gtest.h>

#include <fstream>

#include "helper_service.h"
#include "install_e2e.h"
#include "standin_view.h"

namespace velk::test {
namespace {

namespace fs = std::filesystem;

TEST_F(InstallE2e, RemoveServiceTakesServiceFiltersAndStateAwayTwice) {
  ASSERT_NO_FATAL_FAILURE(install_shipped());
  std::optional<Response> started = ask(start_line(true));
  ASSERT_TRUE(status_of(started) && status_of(started)->kill_switch == KillSwitch::armed) << describe(started);
  ASSERT_TRUE(fs::exists(state_dir() / L"killswitch.json"));

  ProcessResult r = run({L"--remove-service", install_dir().wstring()});
  EXPECT_EQ(r.exit_code, 0u) << r.out;
  EXPECT_EQ(service_status().dwCurrentState, 0u) << "not registered";
  std::optional<FilterView> view = view_filters();
  ASSERT_TRUE(view);
  EXPECT_EQ(view->filters, 0u) << describe(*view);
  EXPECT_FALSE(fs::exists(state_dir() / L"killswitch.json"));
  EXPECT_TRUE(fs::exists(install_dir() / L"velkvpn-helper.exe")) << "the caller deletes the files";

  r = run({L"--remove-service", install_dir().wstring()});
  EXPECT_EQ(r.exit_code, 0u) << r.out;
}

TEST_F(InstallE2e, InspectReportsNothingThenASavedState) {
  ProcessResult r = run({L"--upgrade-inspect"});
  EXPECT_EQ(r.exit_code, 0u);
  EXPECT_EQ(r.out, "inspect: vpn wanted false, service not answering false, saved state false, filters false\n");
  EXPECT_EQ(install_log(), lines_of(r.out));

  fs::create_directories(state_dir());
  std::ofstream(state_dir() / L"killswitch.json", std::ios::binary) << R"({"version":1,"pins":{},"owner":null})";
  r = run({L"--upgrade-inspect"});
  EXPECT_EQ(r.exit_code, 10u);
  EXPECT_EQ(r.out, "inspect: vpn wanted false, service not answering false, saved state true, filters false\n");
}

}  // namespace
}  // namespace velk::test
