#pragma once
// --install-from-stage: replaces the helper in an install directory with the
// verified files of its stage (.update-new), keeping the old ones in
// .update-old until the new service answers with this program's version and
// blocks nothing; any failure after the swap puts the old files and the old
// service back. Every step is logged; the last line is "result CODE".

#include <filesystem>

#include "install/installer_system.h"

namespace velk {

// Retired files: tested for use and moved aside when the new manifest drops them.
inline constexpr std::string_view kRetiredFiles[] = {"sing-box.exe"};

int install_from_stage(InstallLog& log, InstallerSystem& system, const std::filesystem::path& install_dir);

}  // namespace velk
