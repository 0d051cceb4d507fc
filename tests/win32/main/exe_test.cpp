// Runs the built velkvpn-helper.exe as a child process and checks what it prints.

#include <gtest/gtest.h>

#include "process_runner.h"

namespace velk::test {
namespace {

TEST(HelperExe, VersionLine) {
  auto r = run_helper({L"--version"});
  EXPECT_EQ(r.exit_code, 0u);
  EXPECT_EQ(r.out, "velkvpn-helper 0.1.8\n");
  EXPECT_EQ(r.err, "");
}

TEST(HelperExe, UnknownArgumentPrintsUsage) {
  auto r = run_helper({L"--bogus", L"--version"});
  EXPECT_EQ(r.exit_code, 2u);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err,
            "usage: velkvpn-helper [--socket PATH] [--engine PATH] [--state-dir PATH] [--arm-from-state | --recover]\n");
}

}  // namespace
}  // namespace velk::test
