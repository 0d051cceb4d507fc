#include "install/manifest.h"

#include <charconv>
#include <set>
#include <system_error>

#include "install/manifest_file.h"
#include "platform/sha256.h"
#include "platform/text.h"

namespace velk {
namespace {

constexpr std::string_view kSeparator = "  ";

// Unicode White_Space: tab to carriage return, space, NEL, no-break space,
// ogham space mark, the en quad to hair space block, line and paragraph
// separators, narrow no-break space, medium mathematical space, ideographic space.
bool is_unicode_space(char32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F ||
         c == 0x205F || c == 0x3000;
}

bool is_continuation(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

// The code point starting at s[i] of text already known to be valid UTF-8.
char32_t code_point_at(std::string_view s, std::size_t i, std::size_t& length) {
  auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
  unsigned char lead = byte(i);
  char32_t c;
  if (lead < 0x80) { length = 1; c = lead; }
  else if (lead < 0xE0) { length = 2; c = lead & 0x1F; }
  else if (lead < 0xF0) { length = 3; c = lead & 0x0F; }
  else { length = 4; c = lead & 0x07; }
  for (std::size_t k = 1; k < length; ++k) c = (c << 6) | (byte(i + k) & 0x3F);
  return c;
}

std::string_view trim_start(std::string_view s) {
  while (!s.empty()) {
    std::size_t length = 0;
    if (!is_unicode_space(code_point_at(s, 0, length))) break;
    s.remove_prefix(length);
  }
  return s;
}

std::string_view trim_end(std::string_view s) {
  while (!s.empty()) {
    std::size_t start = s.size() - 1;
    while (start > 0 && is_continuation(s[start])) --start;
    std::size_t length = 0;
    if (!is_unicode_space(code_point_at(s, start, length))) break;
    s.remove_suffix(s.size() - start);
  }
  return s;
}

bool is_hex_digit(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

std::optional<std::string> parse_digest(std::string_view field) {
  if (field.size() != 64) return std::nullopt;
  for (char c : field) {
    if (!is_hex_digit(c)) return std::nullopt;
  }
  return ascii_lower(field);
}

// Unsigned decimal, an optional leading "+", nothing else; must fit 64 bits.
std::optional<std::uint64_t> parse_size(std::string_view field) {
  if (field.starts_with('+')) field.remove_prefix(1);
  if (field.empty() || field.front() < '0' || field.front() > '9') return std::nullopt;
  std::uint64_t value = 0;
  auto [end, ec] = std::from_chars(field.data(), field.data() + field.size(), value);
  if (ec != std::errc() || end != field.data() + field.size()) return std::nullopt;
  return value;
}

std::optional<ManifestEntry> parse_line(std::string_view line) {
  std::size_t first = line.find(kSeparator);
  if (first == std::string_view::npos) return std::nullopt;
  std::size_t second = line.find(kSeparator, first + kSeparator.size());
  if (second == std::string_view::npos) return std::nullopt;
  std::string_view digest_field = line.substr(0, first);
  std::string_view size_field = line.substr(first + kSeparator.size(), second - first - kSeparator.size());
  std::string_view name = trim_end(line.substr(second + kSeparator.size()));

  if (!is_acceptable_name(name)) return std::nullopt;
  auto digest = parse_digest(digest_field);
  if (!digest) return std::nullopt;
  auto size = parse_size(size_field);
  if (!size) return std::nullopt;
  return ManifestEntry{std::string(name), std::move(*digest), *size};
}

char32_t upper_case(char32_t c) {
  if (c >= U'a' && c <= U'z') return c - 0x20;
  if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return c - 0x20;  // Latin-1
  if (c == 0xFF) return 0x178;
  // Latin Extended-A: pairs, capital first; dotted and dotless i stay apart.
  const bool odd = (c & 1) != 0;
  if (((c >= 0x100 && c <= 0x12F) || (c >= 0x132 && c <= 0x137) || (c >= 0x14A && c <= 0x177)) && odd) return c - 1;
  if (((c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E)) && !odd) return c - 1;
  if (c == 0x3C2) return 0x3A3;                                     // final sigma
  if ((c >= 0x3B1 && c <= 0x3C9) || (c >= 0x430 && c <= 0x44F)) return c - 0x20;  // Greek, Cyrillic
  if (c >= 0x450 && c <= 0x45F) return c - 0x50;
  return c;
}

}  // namespace

std::u32string fold_file_name(std::string_view name) {
  std::u32string folded;
  for (std::size_t i = 0; i < name.size();) {
    std::size_t length = 0;
    folded.push_back(upper_case(code_point_at(name, i, length)));
    i += length;
  }
  return folded;
}

namespace {

// The device names Windows opens instead of a file, whatever follows the
// first dot: "nul.txt" is NUL. Compared in upper case.
bool is_device_name(std::u32string base) {
  // Windows drops trailing spaces and dots before it compares ("NUL .txt" is NUL).
  while (!base.empty() && (base.back() == U' ' || base.back() == U'.')) base.pop_back();
  static const std::u32string kFixed[] = {U"CON", U"PRN", U"AUX", U"NUL", U"CONIN$", U"CONOUT$"};
  for (const std::u32string& fixed : kFixed) {
    if (base == fixed) return true;
  }
  if (base.size() != 4 || !(base.starts_with(U"COM") || base.starts_with(U"LPT"))) return false;
  const char32_t n = base[3];
  return (n >= U'0' && n <= U'9') || n == 0xB9 || n == 0xB2 || n == 0xB3;  // also superscript one to three
}

}  // namespace

bool is_acceptable_name(std::string_view name) {
  if (name.empty() || name == "." || name == ".." || !is_valid_utf8(name)) return false;
  // A NUL would end the name early at the Windows file functions, so a
  // different file than the one listed would be checked and installed.
  if (name.find_first_of(std::string_view("/\\:\0~", 5)) != std::string_view::npos) return false;
  // Windows drops a trailing dot or space, so "a.exe." opens "a.exe"; a "~"
  // may be a short (8.3) alias of another name.
  if (name.back() == '.' || name.back() == ' ') return false;
  const std::u32string folded = fold_file_name(name);
  if (is_device_name(folded.substr(0, folded.find(U'.')))) return false;
  // The installer's own names in the install directory (the stage, the saved
  // files, their trash, the manifest) are no file of a version: the swap
  // would move a folder of its own into place or aside.
  return !folded.starts_with(U".UPDATE-") && folded != U"INSTALL-MANIFEST.TXT";
}

std::optional<std::vector<ManifestEntry>> parse_manifest(std::string_view text) {
  if (!is_valid_utf8(text)) return std::nullopt;
  std::vector<ManifestEntry> entries;
  std::set<std::u32string> names;
  bool has_helper = false;
  while (!text.empty()) {
    std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    if (end != std::string_view::npos && line.ends_with('\r')) line.remove_suffix(1);

    line = trim_end(trim_start(line));
    if (line.empty()) continue;
    auto entry = parse_line(line);
    if (!entry) return std::nullopt;
    // One file listed twice would be saved over its own saved copy.
    const std::u32string folded = fold_file_name(entry->name);
    if (!names.insert(folded).second) return std::nullopt;
    has_helper = has_helper || entry->name == kHelperFileName;
    entries.push_back(std::move(*entry));
  }
  if (entries.empty() || !has_helper) return std::nullopt;
  return entries;
}

std::optional<std::vector<ManifestEntry>> read_manifest(const std::filesystem::path& stage_dir) {
  std::string text;
  bool read = read_file_chunks(stage_dir / path_from_utf8(kManifestFileName),
                               [&](std::string_view chunk) { text.append(chunk); });
  if (!read) return std::nullopt;
  return parse_manifest(text);
}

bool verify_stage(const std::filesystem::path& stage_dir, const std::vector<ManifestEntry>& entries) {
  // Names Windows resolves to one file (letter cases outside the folded
  // ranges, for one) pass every name rule: the swap would then save the new
  // file over the old one's saved copy. The files themselves tell.
  std::set<FileIdentity> seen;
  for (const ManifestEntry& entry : entries) {
    const std::filesystem::path file = stage_dir / path_from_utf8(entry.name);
    std::error_code ec;
    std::uintmax_t size = std::filesystem::file_size(file, ec);  // follows links
    if (ec || size != entry.size) return false;

    Sha256 hash;
    FileIdentity identity;
    if (!read_file_chunks(file, [&](std::string_view chunk) { hash.update(chunk); }, &identity)) return false;
    if (!seen.insert(identity).second) return false;
    auto digest = hash.finish();
    if (!digest || hex_lower(*digest) != entry.sha256) return false;
  }
  return true;
}

}  // namespace velk
