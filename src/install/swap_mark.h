#pragma once
// The mark of a swap in progress: the installer writes it, flushed, into the
// protected state directory before its first rename of the install
// directory's files, and clears it once the new version is confirmed or the
// old one is back whole. Only a mark naming the install directory makes its
// .update-old the saved files of an unfinished swap, to be put back; users
// can read the install directory and hold .update-old open so that it
// survives a finished upgrade, and such a leftover must never bring an older
// version back.

#include <filesystem>

#include "platform/state_files.h"

namespace velk {

inline constexpr std::string_view kSwapMarkName = "upgrade-swap.pending";

// A mark naming `install_dir` is on disk.
bool swap_marked(StateFiles& state, const std::filesystem::path& install_dir);

// Writes and flushes the mark for `install_dir`; false when it is not on disk.
[[nodiscard]] bool mark_swap(StateFiles& state, const std::filesystem::path& install_dir);

// Clears the mark: flushed empty first, so that a power cut cannot bring
// back a mark that names a directory, then deleted.
void clear_swap_mark(StateFiles& state);

}  // namespace velk
