#include "service/helper_config.h"

#include <algorithm>
#include <cstdlib>

#include "platform/text.h"
#include "service/write_once.h"

namespace velk {
namespace {

WriteOnce<HelperConfig>& config_slot() {
  static WriteOnce<HelperConfig> slot;
  return slot;
}

}  // namespace

HelperConfig resolve_helper_config(const HelperOptions& options,
                                   const std::optional<std::filesystem::path>& executable_path,
                                   const std::filesystem::path& default_state) {
  HelperConfig config;
  std::filesystem::path directory = executable_path ? executable_path->parent_path() : std::filesystem::path();
  config.engine_path = options.engine ? *options.engine : directory / path_from_utf8(kEngineFileName);
  config.socket_path = options.socket ? *options.socket : std::string(kDefaultSocketPath);
  config.state_dir = options.state_dir ? *options.state_dir : default_state;
  return config;
}

bool has_service_argument(std::span<const std::u16string> raw_arguments) {
  return std::any_of(raw_arguments.begin(), raw_arguments.end(),
                     [](const std::u16string& a) { return a == kServiceArgument; });
}

bool publish_helper_config(HelperConfig config) { return config_slot().set(std::move(config)); }

const HelperConfig& helper_config() {
  const HelperConfig* config = config_slot().get();
  if (config == nullptr) std::abort();  // read before run_serve stored it
  return *config;
}

}  // namespace velk
