#pragma once
#include <string_view>

namespace velk {
// The one version string of the helper: printed by --version, reported in every
// status answer and expected by the installer.
inline constexpr std::string_view kVersion = "0.1.8";
inline constexpr unsigned kProtocol = 4;
}  // namespace velk
