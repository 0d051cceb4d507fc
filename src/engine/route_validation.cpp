#include "engine/route_validation.h"

#include <array>
#include <set>

#include "ipc/error_codes.h"
#include "platform/ip_address.h"

namespace velk {
namespace {

// Character classes on raw bytes: a byte >= 0x80 belongs to none of them.
bool is_ascii_letter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool is_ascii_digit(char c) { return c >= '0' && c <= '9'; }
bool is_hex_digit(char c) { return is_ascii_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }
// The URL-safe Base64 alphabet; also what a tag may hold after its prefix.
bool is_word_byte(char c) { return is_ascii_letter(c) || is_ascii_digit(c) || c == '-' || c == '_'; }

template <class Pred>
bool all_of(std::string_view s, Pred pred) {
  for (char c : s) {
    if (!pred(c)) return false;
  }
  return true;
}

constexpr std::string_view tag_prefix = "srv-";
constexpr std::string_view vision_flow = "xtls-rprx-vision";
constexpr std::array<std::string_view, 10> fingerprints = {
    "chrome", "firefox", "safari", "ios", "android", "edge", "360", "qq", "random", "randomized"};

bool valid_tag(std::string_view tag) {
  return tag.size() > tag_prefix.size() && tag.size() <= max_tag_length && tag.starts_with(tag_prefix) &&
         all_of(tag.substr(tag_prefix.size()), is_word_byte);
}

bool valid_server(std::string_view server) {
  if (IpAddress::parse(server)) return true;
  return is_host_name(server) && server.find("..") == std::string_view::npos;
}

bool valid_uuid(std::string_view uuid) {
  if (uuid.size() != 36) return false;
  for (std::size_t i = 0; i < uuid.size(); ++i) {
    const bool hyphen_slot = i == 8 || i == 13 || i == 18 || i == 23;
    if (hyphen_slot ? uuid[i] != '-' : !is_hex_digit(uuid[i])) return false;
  }
  return true;
}

bool valid_flow(std::string_view flow) { return flow.empty() || flow == vision_flow; }

bool valid_fingerprint(std::string_view fp) {
  for (auto known : fingerprints) {
    if (fp == known) return true;
  }
  return false;
}

bool valid_public_key(std::string_view key) { return key.size() == 43 && all_of(key, is_word_byte); }

bool valid_short_id(std::string_view id) { return id.size() <= 16 && id.size() % 2 == 0 && all_of(id, is_hex_digit); }

}  // namespace

bool is_host_name(std::string_view text) {
  if (text.empty() || text.size() > 253) return false;
  if (text.front() == '-' || text.front() == '.') return false;
  return all_of(text, [](char c) { return is_ascii_letter(c) || is_ascii_digit(c) || c == '-' || c == '.'; });
}

Outcome validate_route(const Route& route) {
  if (!valid_tag(route.tag)) return fail(err::invalid_tag);
  if (!valid_server(route.server)) return fail(err::invalid_server);
  if (route.port == 0) return fail(err::invalid_port);
  if (!valid_uuid(route.uuid)) return fail(err::invalid_uuid);
  if (!valid_flow(route.flow)) return fail(err::invalid_flow);
  if (!is_host_name(route.server_name)) return fail(err::invalid_server_name);
  if (!valid_fingerprint(route.fingerprint)) return fail(err::invalid_fingerprint);
  if (!valid_public_key(route.public_key)) return fail(err::invalid_public_key);
  if (!valid_short_id(route.short_id)) return fail(err::invalid_short_id);
  return {};
}

Outcome validate_request(const EngineRequest& request) {
  if (request.routes.empty()) return fail(err::no_routes);
  if (request.routes.size() > max_routes) return fail(err::too_many_routes);
  std::set<std::string_view> seen;
  for (const Route& route : request.routes) {
    if (auto ok = validate_route(route); !ok) return ok;
    if (!seen.insert(route.tag).second) return fail(err::duplicate_tag);
  }
  if (request.selected == auto_selection) return {};
  if (!seen.contains(request.selected)) return fail(err::unknown_selection);
  return {};
}

}  // namespace velk
