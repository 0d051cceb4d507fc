#pragma once
// The path of the running executable, as the system loaded it.

#include <filesystem>
#include <optional>

namespace velk {

// Absent when the system cannot tell it.
std::optional<std::filesystem::path> this_executable_path();

}  // namespace velk
