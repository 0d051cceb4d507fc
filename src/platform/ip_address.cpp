#include "platform/ip_address.h"

#include <cstdio>

namespace velk {
namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

IpAddress IpAddress::v4(std::array<std::uint8_t, 4> b) {
  IpAddress a;
  a.family_ = Family::v4;
  for (int i = 0; i < 4; ++i) a.bytes_[i] = b[i];
  return a;
}

IpAddress IpAddress::v6(std::array<std::uint8_t, 16> b) {
  IpAddress a;
  a.family_ = Family::v6;
  a.bytes_ = b;
  return a;
}

std::optional<IpAddress> IpAddress::parse_v4(std::string_view s) {
  std::array<std::uint8_t, 4> out{};
  std::size_t pos = 0;
  for (int part = 0; part < 4; ++part) {
    if (part > 0) {
      if (pos >= s.size() || s[pos] != '.') return std::nullopt;
      ++pos;
    }
    std::size_t start = pos;
    unsigned value = 0;
    while (pos < s.size() && is_digit(s[pos]) && pos - start < 3) {
      value = value * 10 + static_cast<unsigned>(s[pos] - '0');
      ++pos;
    }
    std::size_t len = pos - start;
    if (len == 0 || value > 255) return std::nullopt;
    if (len > 1 && s[start] == '0') return std::nullopt;  // 010 could mean octal elsewhere
    out[part] = static_cast<std::uint8_t>(value);
  }
  if (pos != s.size()) return std::nullopt;
  return v4(out);
}

std::optional<IpAddress> IpAddress::parse_v6(std::string_view s) {
  // Split at "::" (at most once); each side is a list of 1-4 digit hex groups
  // separated by single colons, the last of which may be a dotted IPv4 tail.
  std::array<std::uint16_t, 8> head{}, tail{};
  int head_n = 0, tail_n = 0;
  bool compressed = false;

  auto parse_groups = [&](std::string_view part, std::array<std::uint16_t, 8>& groups, int& n,
                          bool allow_v4_tail) -> bool {
    if (part.empty()) return true;
    std::size_t pos = 0;
    while (true) {
      std::size_t end = part.find(':', pos);
      std::string_view group = part.substr(pos, end == std::string_view::npos ? part.size() - pos : end - pos);
      bool last = end == std::string_view::npos;
      if (last && allow_v4_tail && group.find('.') != std::string_view::npos) {
        auto v4addr = parse_v4(group);
        if (!v4addr || n > 6) return false;
        const auto& b = v4addr->bytes();
        groups[n++] = static_cast<std::uint16_t>(b[0] << 8 | b[1]);
        groups[n++] = static_cast<std::uint16_t>(b[2] << 8 | b[3]);
        return true;
      }
      if (group.empty() || group.size() > 4 || n >= 8) return false;
      unsigned value = 0;
      for (char c : group) {
        int h = hex_value(c);
        if (h < 0) return false;
        value = value * 16 + static_cast<unsigned>(h);
      }
      groups[n++] = static_cast<std::uint16_t>(value);
      if (last) return true;
      pos = end + 1;
    }
  };

  std::size_t dc = s.find("::");
  if (dc != std::string_view::npos) {
    compressed = true;
    if (s.find("::", dc + 1) != std::string_view::npos) return std::nullopt;
    std::string_view left = s.substr(0, dc);
    std::string_view right = s.substr(dc + 2);
    if (!parse_groups(left, head, head_n, false)) return std::nullopt;
    if (!parse_groups(right, tail, tail_n, true)) return std::nullopt;
    if (head_n + tail_n > 7) return std::nullopt;  // "::" stands for at least one group
  } else {
    if (!parse_groups(s, head, head_n, true)) return std::nullopt;
    if (head_n != 8) return std::nullopt;
  }
  if (s.empty()) return std::nullopt;

  std::array<std::uint16_t, 8> groups{};
  for (int i = 0; i < head_n; ++i) groups[i] = head[i];
  if (compressed) {
    for (int i = 0; i < tail_n; ++i) groups[8 - tail_n + i] = tail[i];
  }
  std::array<std::uint8_t, 16> b{};
  for (int i = 0; i < 8; ++i) {
    b[2 * i] = static_cast<std::uint8_t>(groups[i] >> 8);
    b[2 * i + 1] = static_cast<std::uint8_t>(groups[i] & 0xff);
  }
  return v6(b);
}

std::optional<IpAddress> IpAddress::parse(std::string_view text) {
  if (auto a = parse_v4(text)) return a;
  return parse_v6(text);
}

std::uint32_t IpAddress::v4_value() const {
  return static_cast<std::uint32_t>(bytes_[0]) << 24 | static_cast<std::uint32_t>(bytes_[1]) << 16 |
         static_cast<std::uint32_t>(bytes_[2]) << 8 | static_cast<std::uint32_t>(bytes_[3]);
}

std::string IpAddress::to_string() const {
  char buf[64];
  if (is_v4()) {
    (void)std::snprintf(buf, sizeof buf, "%u.%u.%u.%u", bytes_[0], bytes_[1], bytes_[2], bytes_[3]);
    return buf;
  }
  std::array<unsigned, 8> g{};
  for (int i = 0; i < 8; ++i) g[i] = static_cast<unsigned>(bytes_[2 * i] << 8 | bytes_[2 * i + 1]);

  // IPv4-mapped addresses keep the dotted tail (RFC 5952, section 5).
  bool mapped = g[0] == 0 && g[1] == 0 && g[2] == 0 && g[3] == 0 && g[4] == 0 && g[5] == 0xffff;
  int groups = mapped ? 6 : 8;

  // The longest run of two or more zero groups is compressed; the first one on a tie.
  int best_start = -1, best_len = 0;
  for (int i = 0; i < groups;) {
    if (g[i] != 0) { ++i; continue; }
    int j = i;
    while (j < groups && g[j] == 0) ++j;
    if (j - i > best_len && j - i >= 2) { best_start = i; best_len = j - i; }
    i = j;
  }

  std::string out;
  for (int i = 0; i < groups; ++i) {
    if (i == best_start) {
      out += "::";
      i += best_len - 1;
      continue;
    }
    if (!out.empty() && out.back() != ':') out += ':';
    (void)std::snprintf(buf, sizeof buf, "%x", g[i]);
    out += buf;
  }
  if (mapped) {
    if (!out.empty() && out.back() != ':') out += ':';
    (void)std::snprintf(buf, sizeof buf, "%u.%u.%u.%u", bytes_[12], bytes_[13], bytes_[14], bytes_[15]);
    out += buf;
  }
  return out;
}

}  // namespace velk
