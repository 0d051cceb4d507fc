#pragma once
// A TCP port on 127.0.0.1 that the operating system reports free right now.

#include <cstdint>

#include "platform/result.h"

namespace velk {

// Binds a listening socket to 127.0.0.1:0, reads the chosen port back and
// closes the socket again; nothing reserves the port afterwards. Error:
// "engine_controller".
Result<std::uint16_t> free_loopback_port();

}  // namespace velk
