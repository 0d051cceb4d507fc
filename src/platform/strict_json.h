#pragma once
// JSON text to a document, with the limits every reader of outside input wants:
// nothing but space, tab, carriage return and line feed around the value (a
// byte-order mark is not white space), at most 128 levels of nesting, valid
// UTF-8 strings, and a choice about members that appear twice in one object.
// Objects come out in nlohmann::json, whose members are held in a sorted map.
// Nothing here throws; a text that breaks a rule gives no document.

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace velk {

inline constexpr std::size_t kMaxJsonDepth = 128;

// Called for a member whose key already appeared in the same object. `depth`
// is the nesting level of that object (1 for the outermost value). Returning
// false rejects the whole text; returning true keeps the later value.
using DuplicateMemberHandler = std::function<bool(std::size_t depth, const std::string& key)>;

// A repeated member anywhere rejects the text.
std::optional<nlohmann::json> parse_json_strict(std::string_view text);

// A repeated member keeps its last value; every other rule holds.
std::optional<nlohmann::json> parse_json_lenient(std::string_view text);

// The caller decides about each repeated member.
std::optional<nlohmann::json> parse_json(std::string_view text,
                                         const DuplicateMemberHandler& on_duplicate);

}  // namespace velk
