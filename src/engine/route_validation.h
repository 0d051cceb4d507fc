#pragma once
// The rules every engine request must pass before the helper resolves its
// servers or builds an engine configuration from it. Pure functions on bytes:
// they look only at the request and return the first broken rule's code.

#include <string_view>

#include "engine/route.h"
#include "platform/result.h"

namespace velk {

inline constexpr std::size_t max_routes = 64;
inline constexpr std::size_t max_tag_length = 68;
// The selection that lets the engine pick the fastest route.
inline constexpr std::string_view auto_selection = "auto";

// Route rules in their fixed order: tag, server, port, uuid, flow,
// server_name, fingerprint, public_key, short_id.
Outcome validate_route(const Route& route);

// no_routes, too_many_routes, then every route in list order (its own rules,
// then the duplicate-tag check), then the selection.
Outcome validate_request(const EngineRequest& request);

// 1 to 253 bytes, not starting with '-' or '.', only ASCII letters, digits,
// '-' and '.'. Shared by `server` and `server_name`.
bool is_host_name(std::string_view text);

}  // namespace velk
