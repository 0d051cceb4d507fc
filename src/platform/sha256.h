#pragma once
// SHA-256 (FIPS 180-4), fed in pieces. The system's implementation does the
// work: CNG (bcrypt) on Windows, OpenSSL's libcrypto natively.

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace velk {

class Sha256 {
 public:
  using Digest = std::array<std::uint8_t, 32>;

  Sha256();
  ~Sha256();
  Sha256(Sha256&&) noexcept;
  Sha256& operator=(Sha256&&) noexcept;
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;

  // Adds bytes to the message. Once the system's hash has failed (or finish()
  // has run) further bytes are ignored and finish() gives nothing.
  void update(std::string_view bytes);

  // The digest of everything added, or nothing when the system's hash failed.
  // The object is spent afterwards.
  std::optional<Digest> finish();

 private:
  struct Impl;  // per platform
  std::unique_ptr<Impl> impl_;
};

// 64 lower-case hexadecimal characters.
std::string hex_lower(const Sha256::Digest& digest);

// The digest of `bytes` as 64 lower-case hexadecimal characters.
std::optional<std::string> sha256_hex(std::string_view bytes);

}  // namespace velk
