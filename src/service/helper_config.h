#pragma once
// The serving process's fixed configuration: where the pipe is, where the
// engine is, where the state lives.

#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "ipc/pipe_server.h"
#include "main/command_line.h"
#include "platform/state_files.h"

namespace velk {

struct HelperConfig {
  std::string socket_path;
  std::filesystem::path engine_path;
  std::filesystem::path state_dir;
  // The state directory held open for the life of the process.
  std::shared_ptr<StateFiles> state_files;
  // The claim on the state directory (serving_claim.h), held with the
  // configuration for the life of the process; null without a directory.
  std::shared_ptr<HeldFile> claim;
  // Non-zero when another process serves the directory: this one serves
  // nothing and ends with this code.
  int refused_exit = 0;

  bool operator==(const HelperConfig&) const = default;
};

inline constexpr std::string_view kDefaultSocketPath = kDefaultPipePath;
inline constexpr std::string_view kEngineFileName = "velkvpn-engine.exe";
inline constexpr std::u16string_view kServiceArgument = u"--service";

// The options with their defaults filled in. `executable_path` is the running
// executable's path (absent when it cannot be read); without a directory the
// engine's bare file name is used. `default_state` is default_state_dir().
HelperConfig resolve_helper_config(const HelperOptions& options,
                                   const std::optional<std::filesystem::path>& executable_path,
                                   const std::filesystem::path& default_state);

// Whether any argument, the program name included, is exactly "--service".
bool has_service_argument(std::span<const std::u16string> raw_arguments);

// The process-wide configuration slot: stored once before any reader runs;
// a second store is ignored.
bool publish_helper_config(HelperConfig config);
// The stored configuration. Reading it before it is stored is a programming
// error and ends the process.
const HelperConfig& helper_config();

}  // namespace velk
