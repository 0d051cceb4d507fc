#include "main/command_line.h"

#include <gtest/gtest.h>

#include <vector>

namespace velk {
namespace {

HelperOptions parse_ok(std::vector<std::string> args) {
  auto r = parse_command_line(args);
  EXPECT_TRUE(std::holds_alternative<HelperOptions>(r));
  return std::get<HelperOptions>(r);
}

CommandLineExit parse_exit(std::vector<std::string> args) {
  auto r = parse_command_line(args);
  EXPECT_TRUE(std::holds_alternative<CommandLineExit>(r));
  return std::get<CommandLineExit>(r);
}

TEST(CommandLine, NoArgumentsServesWithEverythingAbsent) {
  auto o = parse_ok({});
  EXPECT_EQ(o.mode, RunMode::serve);
  EXPECT_FALSE(o.socket);
  EXPECT_FALSE(o.engine);
  EXPECT_FALSE(o.state_dir);
  EXPECT_FALSE(o.target);
}

TEST(CommandLine, ValuesAndModes) {
  auto o = parse_ok({"--socket", "\\\\.\\pipe\\x", "--engine", "e.exe", "--state-dir", "S", "--recover"});
  EXPECT_EQ(*o.socket, "\\\\.\\pipe\\x");
  EXPECT_EQ(*o.engine, std::filesystem::path("e.exe"));
  EXPECT_EQ(*o.state_dir, std::filesystem::path("S"));
  EXPECT_EQ(o.mode, RunMode::recover);

  EXPECT_EQ(parse_ok({"--recover", "--arm-from-state"}).mode, RunMode::arm_from_state);
  EXPECT_EQ(parse_ok({"--upgrade-inspect"}).mode, RunMode::upgrade_inspect);
  EXPECT_EQ(parse_ok({"--service", "--recover"}).mode, RunMode::recover);
  EXPECT_EQ(parse_ok({"--service"}).mode, RunMode::serve);

  auto d = parse_ok({"--json", "--diagnose"});
  EXPECT_EQ(d.mode, RunMode::diagnose);
  EXPECT_TRUE(d.json);
  EXPECT_FALSE(parse_ok({"--diagnose"}).json);
  // --json belongs to --diagnose: elsewhere it is a bad argument, as before.
  EXPECT_EQ(parse_exit({"--json"}).exit_code, 2);
  EXPECT_EQ(parse_exit({"--recover", "--json"}).exit_code, 2);
}

TEST(CommandLine, ValueTakingOptionsConsumeTheNextArgumentOrBecomeAbsent) {
  auto o = parse_ok({"--socket", "--recover"});
  EXPECT_EQ(*o.socket, "--recover");
  EXPECT_EQ(o.mode, RunMode::serve);

  auto last = parse_ok({"--state-dir", "A", "--state-dir"});
  EXPECT_FALSE(last.state_dir);  // a trailing option replaces the earlier value with "absent"

  auto repeated = parse_ok({"--engine", "a", "--engine", "b"});
  EXPECT_EQ(*repeated.engine, std::filesystem::path("b"));

  auto t = parse_ok({"--remove-service", "X", "--install-from-stage", "Y"});
  EXPECT_EQ(t.mode, RunMode::install_from_stage);
  EXPECT_EQ(*t.target, std::filesystem::path("Y"));
  auto r = parse_ok({"--remove-service"});
  EXPECT_EQ(r.mode, RunMode::remove_service);
  EXPECT_FALSE(r.target);
}

TEST(CommandLine, UsageAndVersionStopAtTheFirstDecidingArgument) {
  auto u = parse_exit({"--bogus", "--version"});
  EXPECT_EQ(u.exit_code, 2);
  EXPECT_EQ(u.out, "");
  EXPECT_EQ(u.err,
            "usage: velkvpn-helper [--socket PATH] [--engine PATH] [--state-dir PATH] [--arm-from-state | --recover]\n"
            "       velkvpn-helper --diagnose [--state-dir PATH] [--json]\n");

  auto v = parse_exit({"--version", "--bogus"});
  EXPECT_EQ(v.exit_code, 0);
  EXPECT_EQ(v.out, "velkvpn-helper 0.1.8\n");
  EXPECT_EQ(v.err, "");

  // Matching is exact and case-sensitive.
  EXPECT_EQ(parse_exit({"--Recover"}).exit_code, 2);
  EXPECT_EQ(parse_exit({"--recover="}).exit_code, 2);
  EXPECT_EQ(parse_exit({"--services"}).exit_code, 2);
  EXPECT_EQ(parse_exit({""}).exit_code, 2);
  // A value is never taken for an option, even when it looks like one.
  EXPECT_EQ(parse_ok({"--socket", "--bogus"}).socket.value(), "--bogus");
}

TEST(CommandLine, StateDirectory) {
  EXPECT_EQ(default_state_dir(std::string("D:\\Data")), std::filesystem::path("D:\\Data") / "VELK VPN");
  EXPECT_EQ(default_state_dir(std::nullopt), std::filesystem::path("C:\\ProgramData") / "VELK VPN");
  HelperOptions o;
  o.state_dir = "X";
  EXPECT_EQ(resolve_state_dir(o), std::filesystem::path("X"));
}

}  // namespace
}  // namespace velk
