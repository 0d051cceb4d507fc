#pragma once
// The content of killswitch.json: that the kill switch is armed, which host
// names were pinned to which addresses, and who armed it.

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "platform/ip_address.h"

namespace velk {

struct ArmedState {
  std::uint32_t version = 1;
  // Host name -> address in its standard text form; keys in ascending byte order.
  std::map<std::string, std::string> pins;
  // String SID of the user who armed the kill switch.
  std::optional<std::string> owner;

  bool operator==(const ArmedState&) const = default;
};

// One host name resolved for the routes of a request, with the address chosen for it.
struct HostEntry {
  std::string host;
  IpAddress address;

  bool operator==(const HostEntry&) const = default;
};

// Compact JSON, members in the order "version", "pins", "owner"; an absent
// owner is written as null. Absent only when a text is not valid UTF-8.
std::optional<std::string> armed_state_to_json(const ArmedState& state);

// Strict reading: an object with "version" (present, value not examined) and
// "pins" (an object of strings), optionally "owner" (a string, or null for
// absent); no other member, no member twice, nothing but white space after
// the object. Anything else: absent.
std::optional<ArmedState> armed_state_from_json(std::string_view text);

}  // namespace velk
