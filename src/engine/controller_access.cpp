#include "engine/controller_access.h"

#include <array>

#include "engine/loopback_port.h"
#include "ipc/error_codes.h"
#include "platform/random.h"
#include "platform/text.h"

namespace velk {

std::string controller_secret_text(std::span<const std::uint8_t, controller_secret_bytes> bytes) {
  return hex_lower(bytes);
}

ControllerAccessSources system_controller_access_sources() { return {free_loopback_port, fill_random}; }

Result<ControllerAccess> new_controller_access(const ControllerAccessSources& sources) {
  auto port = sources.free_port();
  if (!port) return fail(err::engine_controller);
  std::array<std::uint8_t, controller_secret_bytes> bytes{};
  if (!sources.random(bytes)) return fail(err::engine_controller);
  return ControllerAccess{*port, controller_secret_text(bytes)};
}

Result<ControllerAccess> new_controller_access() { return new_controller_access(system_controller_access_sources()); }

}  // namespace velk
