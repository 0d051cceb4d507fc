#pragma once
// UTF-8 / UTF-16 conversion and lossy UTF-8 decoding. Invalid input never
// fails: it becomes U+FFFD.

#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>

namespace velk {

// Valid UTF-8 stays as it is; every invalid sequence becomes U+FFFD.
std::string utf8_lossy(std::string_view bytes);
bool is_valid_utf8(std::string_view bytes);

std::u16string utf16_from_utf8(std::string_view utf8);
std::string utf8_from_utf16(std::u16string_view utf16);

// Paths as UTF-8 text and back (on Windows a path is UTF-16 inside).
std::filesystem::path path_from_utf8(std::string_view utf8);
std::string utf8_from_path(const std::filesystem::path& p);

// ASCII letters A-Z lowered; every other byte unchanged.
std::string ascii_lower(std::string_view s);

// Each byte as two lower-case hexadecimal digits, in order.
std::string hex_lower(std::span<const std::uint8_t> bytes);

}  // namespace velk
