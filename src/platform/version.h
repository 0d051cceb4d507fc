#pragma once
#include <string_view>

namespace velk {
// The one version string of the helper: printed by --version, reported in every
// status answer and expected by the installer.
#ifdef VELK_VERSION_OVERRIDE  // a test build that must say another version
inline constexpr std::string_view kVersion = VELK_VERSION_OVERRIDE;
#else
inline constexpr std::string_view kVersion = "0.1.8";
#endif
inline constexpr unsigned kProtocol = 4;
}  // namespace velk
