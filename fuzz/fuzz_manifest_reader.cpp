// Feeds arbitrary bytes to the install manifest parser and checks what every
// accepted manifest promises its caller.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "install/manifest.h"

namespace {

bool lower_hex64(std::string_view s) {
  if (s.size() != 64) return false;
  for (char c : s) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  auto entries = velk::parse_manifest(text);
  if (!entries) return 0;

  bool has_helper = false;
  for (const velk::ManifestEntry& e : *entries) {
    if (!lower_hex64(e.sha256)) std::abort();
    if (e.name.empty() || e.name == "." || e.name == "..") std::abort();
    if (e.name.find_first_of(std::string_view("/\\:\0", 4)) != std::string_view::npos) std::abort();
    has_helper = has_helper || e.name == velk::kHelperFileName;
  }
  if (!has_helper) std::abort();

  // Written out again in the canonical form, the entries read back the same.
  std::string canonical;
  for (const velk::ManifestEntry& e : *entries) {
    canonical += e.sha256 + "  " + std::to_string(e.size) + "  " + e.name + "\n";
  }
  auto again = velk::parse_manifest(canonical);
  if (!again || *again != *entries) std::abort();
  return 0;
}
