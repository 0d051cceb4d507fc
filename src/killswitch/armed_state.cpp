#include "killswitch/armed_state.h"

#include <limits>

#include <nlohmann/json.hpp>

#include "platform/strict_json.h"

namespace velk {

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
  auto doc = parse_json_strict(text);
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
