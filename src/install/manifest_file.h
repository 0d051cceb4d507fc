#pragma once
// Reading a staged file from start to end in fixed chunks through one buffer.
// On Windows the file is opened sharing read, write and delete, so an open
// handle elsewhere (a virus scanner, an indexer) does not stop the check.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string_view>

namespace velk {

inline constexpr std::size_t kFileChunkSize = 8192;

// Which file an open handle is, on its volume: names with the same identity
// are one file (another letter case, a short name, a hard link).
struct FileIdentity {
  std::uint64_t volume = 0;
  std::uint64_t file = 0;
  auto operator<=>(const FileIdentity&) const = default;
};

// Hands each chunk (at most kFileChunkSize bytes) to `on_chunk` in order.
// False when the file cannot be opened or a read fails. With `identity`, the
// identity of the file read is stored there (false when it cannot be had).
[[nodiscard]] bool read_file_chunks(const std::filesystem::path& file,
                                    const std::function<void(std::string_view)>& on_chunk,
                                    FileIdentity* identity = nullptr);

}  // namespace velk
