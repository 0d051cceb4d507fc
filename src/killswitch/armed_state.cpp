#include "killswitch/armed_state.h"

#include <limits>
#include <set>
#include <vector>

#include <nlohmann/json.hpp>

namespace velk {
namespace {

constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";
constexpr std::size_t kMaxDepth = 16;

// Parses one JSON document, refusing a repeated member name in any object, a
// byte order mark, nesting deeper than kMaxDepth, and anything but white
// space after the document.
std::optional<nlohmann::json> parse_strict(std::string_view text) {
  if (text.substr(0, kUtf8Bom.size()) == kUtf8Bom) return std::nullopt;
  // The parser takes a NUL byte for the end of the input and would ignore what
  // follows it; JSON has no place for one anyway.
  if (text.find('\0') != std::string_view::npos) return std::nullopt;
  std::vector<std::set<std::string>> open_objects;
  std::size_t depth = 0;
  bool refused = false;
  auto check = [&](int, nlohmann::json::parse_event_t event, nlohmann::json& parsed) {
    using E = nlohmann::json::parse_event_t;
    switch (event) {
      case E::object_start:
        open_objects.emplace_back();
        [[fallthrough]];
      case E::array_start:
        if (++depth > kMaxDepth) refused = true;
        break;
      case E::object_end:
        if (!open_objects.empty()) open_objects.pop_back();
        [[fallthrough]];
      case E::array_end:
        if (depth > 0) --depth;
        break;
      case E::key:
        if (open_objects.empty() || !parsed.is_string() ||
            !open_objects.back().insert(parsed.get<std::string>()).second) {
          refused = true;
        }
        break;
      case E::value:
        break;
    }
    return true;
  };
  try {
    nlohmann::json doc = nlohmann::json::parse(text.begin(), text.end(), check, /*allow_exceptions=*/false);
    if (doc.is_discarded() || refused) return std::nullopt;
    return doc;
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

}  // namespace

std::optional<std::string> armed_state_to_json(const ArmedState& state) {
  try {
    nlohmann::ordered_json pins = nlohmann::ordered_json::object();
    for (const auto& [host, address] : state.pins) pins[host] = address;  // std::map: ascending byte order
    nlohmann::ordered_json doc = nlohmann::ordered_json::object();
    doc["version"] = state.version;
    doc["pins"] = std::move(pins);
    doc["owner"] = state.owner ? nlohmann::ordered_json(*state.owner) : nlohmann::ordered_json(nullptr);
    return doc.dump();
  } catch (const std::exception&) {
    return std::nullopt;  // a text that is not valid UTF-8
  }
}

std::optional<ArmedState> armed_state_from_json(std::string_view text) {
  auto doc = parse_strict(text);
  if (!doc || !doc->is_object()) return std::nullopt;
  for (const auto& [key, value] : doc->items()) {
    if (key != "version" && key != "pins" && key != "owner") return std::nullopt;
  }
  auto version = doc->find("version");
  auto pins = doc->find("pins");
  if (version == doc->end() || pins == doc->end() || !pins->is_object()) return std::nullopt;

  ArmedState state;
  // The version is not examined; a plain 32-bit number is kept as it is.
  if (version->is_number_unsigned() &&
      version->get<std::uint64_t>() <= std::numeric_limits<std::uint32_t>::max()) {
    state.version = static_cast<std::uint32_t>(version->get<std::uint64_t>());
  }
  for (const auto& [host, address] : pins->items()) {
    if (!address.is_string()) return std::nullopt;
    state.pins.emplace(host, address.get<std::string>());
  }
  auto owner = doc->find("owner");
  if (owner != doc->end() && !owner->is_null()) {
    if (!owner->is_string()) return std::nullopt;
    state.owner = owner->get<std::string>();
  }
  return state;
}

}  // namespace velk
