#pragma once
// How the helper reaches the running engine's HTTP controller.

#include <cstdint>
#include <functional>
#include <span>
#include <string>

#include "platform/result.h"

namespace velk {

struct ControllerAccess {
  std::uint16_t port = 0;  // on 127.0.0.1
  std::string secret;      // 64 lowercase hexadecimal characters

  bool operator==(const ControllerAccess&) const = default;
};

// A free loopback port, then a fresh secret. Error: "engine_controller".
Result<ControllerAccess> new_controller_access();

// The secret is made of this many random bytes.
inline constexpr std::size_t controller_secret_bytes = 32;

// Each byte as two lowercase hexadecimal digits, in buffer order.
std::string controller_secret_text(std::span<const std::uint8_t, controller_secret_bytes> bytes);

// Where the port and the random bytes come from; the system's by default.
struct ControllerAccessSources {
  std::function<Result<std::uint16_t>()> free_port;
  std::function<Outcome(std::span<std::uint8_t>)> random;
};
ControllerAccessSources system_controller_access_sources();
Result<ControllerAccess> new_controller_access(const ControllerAccessSources& sources);

}  // namespace velk
