#pragma once
// --remove-service: takes the helper out of the system (desktop application
// ended, VPN off, service stopped and deleted, kill switch removed) and makes
// sure no file of the installation is in use. Deletes no installed file.
// One-way: a second run repeats every step as a no-op.

#include <filesystem>

#include "install/installer_system.h"

namespace velk {

inline constexpr std::string_view kInstalledFiles[] = {"velkvpn-helper.exe", "velkvpn.exe", "velkvpn-engine.exe",
                                                       "wintun.dll"};

int remove(InstallLog& log, InstallerSystem& system, const std::filesystem::path& install_dir);

}  // namespace velk
