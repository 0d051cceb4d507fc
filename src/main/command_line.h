#pragma once
// The command line: options, run mode, usage and version texts.

#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>

namespace velk {

enum class RunMode { serve, arm_from_state, recover, upgrade_inspect, install_from_stage, remove_service, diagnose };

struct HelperOptions {
  std::optional<std::string> socket;
  std::optional<std::filesystem::path> engine;
  std::optional<std::filesystem::path> state_dir;
  std::optional<std::filesystem::path> target;
  RunMode mode = RunMode::serve;
  bool json = false;  // --json (with --diagnose only)
};

inline constexpr std::string_view kUsageText =
    "usage: velkvpn-helper [--socket PATH] [--engine PATH] [--state-dir PATH] [--arm-from-state | --recover]\n"
    "       velkvpn-helper --diagnose [--state-dir PATH] [--json]\n";
inline constexpr std::string_view kVersionText = "velkvpn-helper 0.1.8\n";

// What the parser asks the process to do instead of running a mode.
struct CommandLineExit {
  int exit_code;
  std::string out;  // text for standard output
  std::string err;  // text for standard error
};

// The arguments after the program name, as UTF-8 texts.
std::variant<HelperOptions, CommandLineExit> parse_command_line(std::span<const std::string> args);

// %ProgramData%\VELK VPN; `program_data` is the variable's value (absent: C:\ProgramData).
std::filesystem::path default_state_dir(const std::optional<std::string>& program_data);
// The same, reading the process environment.
std::filesystem::path default_state_dir();

std::filesystem::path resolve_state_dir(const HelperOptions& options);

}  // namespace velk
