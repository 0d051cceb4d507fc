#include "platform/sha256.h"

#include "platform/text.h"

namespace velk {

std::string hex_lower(const Sha256::Digest& digest) { return hex_lower(std::span<const std::uint8_t>(digest)); }

std::optional<std::string> sha256_hex(std::string_view bytes) {
  Sha256 hash;
  hash.update(bytes);
  auto digest = hash.finish();
  if (!digest) return std::nullopt;
  return hex_lower(*digest);
}

}  // namespace velk
