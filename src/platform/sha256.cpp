#include "platform/sha256.h"

namespace velk {

std::string hex_lower(const Sha256::Digest& digest) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(digest.size() * 2);
  for (std::uint8_t b : digest) {
    out += kDigits[b >> 4];
    out += kDigits[b & 0x0F];
  }
  return out;
}

std::optional<std::string> sha256_hex(std::string_view bytes) {
  Sha256 hash;
  hash.update(bytes);
  auto digest = hash.finish();
  if (!digest) return std::nullopt;
  return hex_lower(*digest);
}

}  // namespace velk
