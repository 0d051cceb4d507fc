#pragma once
// IPv4 and IPv6 addresses: strict parsing of the standard text forms and the
// canonical output (IPv4 dotted decimal without leading zeros, IPv6 as in
// RFC 5952). Ordering: IPv4 before IPv6, then the address as an unsigned
// big-endian number.

#include <array>
#include <compare>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace velk {

class IpAddress {
 public:
  enum class Family : std::uint8_t { v4 = 0, v6 = 1 };

  static IpAddress v4(std::array<std::uint8_t, 4> bytes);
  static IpAddress v6(std::array<std::uint8_t, 16> bytes);

  // Dotted decimal (four decimal parts 0..255, no leading zeros) or the
  // standard IPv6 text form (no brackets, no zone). Anything else: nullopt.
  static std::optional<IpAddress> parse(std::string_view text);
  static std::optional<IpAddress> parse_v4(std::string_view text);
  static std::optional<IpAddress> parse_v6(std::string_view text);

  Family family() const { return family_; }
  bool is_v4() const { return family_ == Family::v4; }
  bool is_v6() const { return family_ == Family::v6; }
  // Network-order bytes; an IPv4 address uses the first four, the rest are 0.
  const std::array<std::uint8_t, 16>& bytes() const { return bytes_; }
  // The IPv4 address as a number (host byte order): 10.0.0.1 -> 0x0A000001.
  std::uint32_t v4_value() const;

  std::string to_string() const;

  auto operator<=>(const IpAddress&) const = default;
  bool operator==(const IpAddress&) const = default;

 private:
  Family family_ = Family::v4;
  std::array<std::uint8_t, 16> bytes_{};
};

}  // namespace velk
