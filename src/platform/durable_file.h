#pragma once
// Files that must survive a crash: written in full and flushed to disk, then
// moved over their target with a replacing rename, so a reader finds either
// the old content or the new one, never a torn file.

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace velk {

// Creates or truncates `path`, writes all of `bytes`, flushes them to disk and
// closes the file. False on any failure (the file may then be partly written).
bool write_file_flushed(const std::filesystem::path& path, std::string_view bytes);

// Renames `from` to `to`, replacing an existing `to`; returns once the rename
// has reached the disk. False on failure (`to` is then unchanged).
bool replace_file(const std::filesystem::path& from, const std::filesystem::path& to);

enum class DeleteResult { deleted, not_found, failed };

// Deletes one file. A missing file (or missing directory on its path) is
// `not_found`; a directory in its place, a denied access and every other
// error is `failed`.
DeleteResult delete_file(const std::filesystem::path& path);

// The file system reports metadata for `path` (a file, a directory, anything);
// any error counts as false.
bool path_exists(const std::filesystem::path& path);

// The whole content of a file of at most `max_bytes`; absent when it cannot be
// read or is larger.
std::optional<std::string> read_small_file(const std::filesystem::path& path, std::size_t max_bytes);

}  // namespace velk
