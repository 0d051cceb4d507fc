#pragma once
// Who is on the other end of a pipe connection: the user of the client
// process's token, and whether that token is elevated.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace velk {

struct CallerIdentity {
  std::string sid;        // string form of the token user's SID, e.g. "S-1-5-21-...-1001"
  bool elevated = false;  // elevated token, or the LocalSystem account

  bool operator==(const CallerIdentity&) const = default;
};

inline constexpr std::string_view kLocalSystemSid = "S-1-5-18";

// `token_elevation` is the TokenElevation value, absent when it could not be
// read. A nonzero value means elevated; otherwise only LocalSystem counts as
// elevated. A filtered administrator token reports 0 and is not elevated.
bool caller_is_elevated(std::string_view sid, std::optional<std::uint32_t> token_elevation);

}  // namespace velk
