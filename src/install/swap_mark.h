#pragma once
// The mark of a swap in progress: the installer writes it, flushed, before
// its first rename of the install directory's files, and clears it once the
// new version is confirmed or the old one is back whole. Only a mark naming
// the install directory makes its .update-old the saved files of an
// unfinished swap, to be put back; users can read the install directory and
// hold .update-old open so that it survives a finished upgrade, and such a
// leftover must never bring an older version back.
//
// So a mark counts only where no user can have written it or can hold it
// open: the file .update-swap.pending in the install directory, made with a
// protected access list of SYSTEM and Administrators only (owned by one of
// them, one link, never a link itself), which is where the installer writes
// it; or upgrade-swap.pending in the helper's own default state directory,
// where earlier releases wrote it. A mark anywhere else (a --state-dir
// directory, a file in the install directory that anyone else may open)
// counts for nothing. The mark needs no state directory: an install goes on
// without one.

#include <filesystem>

#include "install/install_files.h"
#include "platform/state_files.h"

namespace velk {

inline constexpr std::string_view kSwapMarkName = "upgrade-swap.pending";         // in the state directory
inline constexpr std::string_view kSwapMarkFileName = ".update-swap.pending";    // in the install directory

// A mark naming `install_dir` is on disk where it counts.
bool swap_marked(StateFiles& state, InstallFiles& files, const std::filesystem::path& install_dir);

// Writes and flushes the mark for `install_dir` into it.
[[nodiscard]] FileError mark_swap(InstallFiles& files, const std::filesystem::path& install_dir);

// Clears every mark that counts: each is flushed empty first, so that a
// power cut cannot bring back a mark that names a directory, then deleted.
void clear_swap_mark(StateFiles& state, InstallFiles& files, const std::filesystem::path& install_dir);

}  // namespace velk
