#include "main/command_line.h"

#include <cstdlib>

#include "platform/text.h"

namespace velk {

std::variant<HelperOptions, CommandLineExit> parse_command_line(std::span<const std::string> args) {
  HelperOptions options;
  // A value-taking option consumes the next argument whatever it looks like;
  // at the end of the line its field becomes absent.
  auto take_value = [&](std::size_t& i) -> std::optional<std::string> {
    if (i + 1 < args.size()) return args[++i];
    return std::nullopt;
  };
  auto as_path = [](const std::optional<std::string>& v) -> std::optional<std::filesystem::path> {
    if (!v) return std::nullopt;
    return path_from_utf8(*v);
  };

  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--socket") {
      options.socket = take_value(i);
    } else if (a == "--engine") {
      options.engine = as_path(take_value(i));
    } else if (a == "--state-dir") {
      options.state_dir = as_path(take_value(i));
    } else if (a == "--service") {
      // Looked for again by the serve mode.
    } else if (a == "--version") {
      return CommandLineExit{0, std::string(kVersionText), ""};
    } else if (a == "--arm-from-state") {
      options.mode = RunMode::arm_from_state;
    } else if (a == "--recover") {
      options.mode = RunMode::recover;
    } else if (a == "--upgrade-inspect") {
      options.mode = RunMode::upgrade_inspect;
    } else if (a == "--install-from-stage") {
      options.mode = RunMode::install_from_stage;
      options.target = as_path(take_value(i));
    } else if (a == "--remove-service") {
      options.mode = RunMode::remove_service;
      options.target = as_path(take_value(i));
    } else if (a == "--diagnose") {
      options.mode = RunMode::diagnose;
    } else if (a == "--json") {
      options.json = true;
    } else {
      return CommandLineExit{2, "", std::string(kUsageText)};
    }
  }
  // --json belongs to --diagnose alone.
  if (options.json && options.mode != RunMode::diagnose) return CommandLineExit{2, "", std::string(kUsageText)};
  return options;
}

std::filesystem::path default_state_dir(const std::optional<std::string>& program_data) {
  std::filesystem::path base = path_from_utf8(program_data ? *program_data : std::string("C:\\ProgramData"));
  return base / "VELK VPN";
}

std::filesystem::path default_state_dir() {
#ifdef _WIN32
  const wchar_t* v = _wgetenv(L"ProgramData");
  if (v == nullptr) return default_state_dir(std::nullopt);
  return std::filesystem::path(v) / "VELK VPN";
#else
  // The helper never changes its environment, so no write can race this read.
  const char* v = std::getenv("ProgramData");  // NOLINT(concurrency-mt-unsafe)
  return default_state_dir(v ? std::optional<std::string>(v) : std::nullopt);
#endif
}

std::filesystem::path resolve_state_dir(const HelperOptions& options) {
  return options.state_dir ? *options.state_dir : default_state_dir();
}

}  // namespace velk
