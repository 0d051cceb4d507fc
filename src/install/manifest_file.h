#pragma once
// Reading a staged file from start to end in fixed chunks through one buffer.
// On Windows the file is opened sharing read, write and delete, so an open
// handle elsewhere (a virus scanner, an indexer) does not stop the check.

#include <cstddef>
#include <filesystem>
#include <functional>
#include <string_view>

namespace velk {

inline constexpr std::size_t kFileChunkSize = 8192;

// Hands each chunk (at most kFileChunkSize bytes) to `on_chunk` in order.
// False when the file cannot be opened or a read fails.
[[nodiscard]] bool read_file_chunks(const std::filesystem::path& file,
                                    const std::function<void(std::string_view)>& on_chunk);

}  // namespace velk
