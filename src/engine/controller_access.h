#pragma once
// How the helper reaches the running engine's HTTP controller.

#include <cstdint>
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

}  // namespace velk
