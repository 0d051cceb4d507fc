#pragma once
// The install manifest: install-manifest.txt in the stage directory names every
// file of the new version with its size and SHA-256 digest, one file a line:
//
//   <64 hex digits>  <size>  <name>
//
// fields separated by two spaces. The installer accepts a stage only when the
// manifest reads cleanly, names the helper executable, names no file twice
// (letter case aside, as Windows compares names; and no two names reach one
// staged file), every name is one Windows keeps as written, and every listed
// file has exactly the listed size and digest. A rejection carries no detail: the
// installer reports one message for every cause.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace velk {

inline constexpr std::string_view kManifestFileName = "install-manifest.txt";
inline constexpr std::string_view kHelperFileName = "velkvpn-helper.exe";

struct ManifestEntry {
  std::string name;
  std::string sha256;  // 64 lower-case hexadecimal characters
  std::uint64_t size = 0;

  bool operator==(const ManifestEntry&) const = default;
};

// A file name (valid UTF-8) in upper case, so that two names of one Windows
// file compare equal: folds ASCII, Latin-1, Latin Extended-A, and the basic
// Greek and Cyrillic letters (simple one-to-one mappings).
std::u32string fold_file_name(std::string_view name);

// Whether `name` (valid UTF-8) may name a file of a version: not empty, not
// "." or "..", no slash, backslash, colon, NUL or "~" (short names), no
// trailing dot or space (Windows drops them), no device name such as CON,
// NUL, COM1 or LPT1 with or without an extension, and none of the
// installer's own names (.update-*, install-manifest.txt), letter case aside.
bool is_acceptable_name(std::string_view name);

// The entries of a manifest text in file order, or nothing when any line or
// the whole text breaks a rule.
std::optional<std::vector<ManifestEntry>> parse_manifest(std::string_view text);

// Reads and parses `stage_dir`/install-manifest.txt.
std::optional<std::vector<ManifestEntry>> read_manifest(const std::filesystem::path& stage_dir);

// True when every entry's file in `stage_dir` has the listed size and digest
// and no two entries reach the same file. Checks in file order and stops at
// the first fault; a file of the wrong size is not read.
[[nodiscard]] bool verify_stage(const std::filesystem::path& stage_dir,
                                const std::vector<ManifestEntry>& entries);

}  // namespace velk
