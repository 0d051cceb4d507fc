#pragma once
// Making a stage for the installer: every file of a folder copied into a new
// stage directory, with the install-manifest.txt that lists each one's size
// and SHA-256 digest. The names are judged by the installer's own manifest
// reader, and the finished stage by the installer's own check, so whatever
// the installer would refuse is refused here, before a package ships it.

#include <filesystem>
#include <optional>
#include <string>

namespace velk {

// Makes `stage` (which must not exist, or be an empty directory) from the
// regular files of `folder` and writes the manifest text to `manifest`.
// Gives nothing when the stage was made; otherwise the reason it was refused,
// one line naming the file at fault where there is one, and nothing of the
// stage is left behind.
std::optional<std::string> make_stage(const std::filesystem::path& folder, const std::filesystem::path& stage,
                                      std::string& manifest);

}  // namespace velk
