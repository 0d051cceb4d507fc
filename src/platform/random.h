#pragma once
// The operating system's cryptographically secure random generator.

#include <cstdint>
#include <span>

#include "platform/result.h"

namespace velk {

// Fills the whole buffer or fails with "engine_controller" (its one user is
// the controller secret). Windows: ProcessPrng, or BCryptGenRandom with the
// system-preferred generator where ProcessPrng is missing. Linux: getrandom(2).
Outcome fill_random(std::span<std::uint8_t> buffer);

}  // namespace velk
