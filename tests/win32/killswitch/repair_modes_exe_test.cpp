// velkvpn-helper.exe --recover and --arm-from-state, run as the product runs
// them. Only outcomes that do not depend on which filtering engine answers
// are checked here; the filter side is covered against fakes natively.

#include <gtest/gtest.h>

#include "platform/durable_file.h"
#include "process_runner.h"
#include "temp_dir.h"

namespace velk::test {
namespace {

TEST(RepairModesExe, ArmFromStateWithoutStateFileDoesNothing) {
  TempDir tmp;
  auto r = run_helper({L"--arm-from-state", L"--state-dir", (tmp.path() / L"VELK VPN").wstring()});
  EXPECT_EQ(r.exit_code, 0u);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "");
  EXPECT_FALSE(std::filesystem::exists(tmp.path() / L"VELK VPN"));
}

TEST(RepairModesExe, RecoverStopsAtAStateFileItCannotDelete) {
  TempDir tmp;
  std::filesystem::create_directories(tmp.path() / L"killswitch.json" / L"child");
  auto r = run_helper({L"--service", L"--recover", L"--state-dir", tmp.path().wstring()});
  EXPECT_EQ(r.exit_code, 1u);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "velkvpn-helper: could not remove the block (killswitch_failed). Are you root?\n");
  EXPECT_TRUE(std::filesystem::exists(tmp.path() / L"killswitch.json" / L"child"));
}

TEST(RepairModesExe, RecoverDeletesTheStateFileFirst) {
  TempDir tmp;
  ASSERT_TRUE(write_file_flushed(tmp.path() / L"killswitch.json", R"({"version":1,"pins":{}})"));
  auto r = run_helper({L"--recover", L"--state-dir", tmp.path().wstring()});
  // Whether the filters could then be removed depends on the filtering engine
  // at hand; the file is gone either way and the answer is one of the two lines.
  EXPECT_FALSE(std::filesystem::exists(tmp.path() / L"killswitch.json"));
  if (r.exit_code == 0u) {
    EXPECT_EQ(r.out, "VELK VPN no longer blocks the network.\n");
    EXPECT_EQ(r.err, "");
  } else {
    EXPECT_EQ(r.exit_code, 1u);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "velkvpn-helper: could not remove the block (killswitch_failed). Are you root?\n");
  }
}

}  // namespace
}  // namespace velk::test
