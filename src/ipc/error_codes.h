#pragma once
// Every error code the helper can produce. They travel as the "code" of an
// error answer or as the "error" member of a status; no Windows error number
// is ever passed on.

#include <string_view>

namespace velk::err {

// Request handling.
inline constexpr std::string_view bad_request = "bad_request";
inline constexpr std::string_view too_large = "too_large";
inline constexpr std::string_view not_session_owner = "not_session_owner";
inline constexpr std::string_view not_running = "not_running";
inline constexpr std::string_view unknown_route = "unknown_route";
// Engine controller.
inline constexpr std::string_view engine_unreachable = "engine_unreachable";
inline constexpr std::string_view engine_refused = "engine_refused";
// Route validation.
inline constexpr std::string_view no_routes = "no_routes";
inline constexpr std::string_view too_many_routes = "too_many_routes";
inline constexpr std::string_view duplicate_tag = "duplicate_tag";
inline constexpr std::string_view unknown_selection = "unknown_selection";
inline constexpr std::string_view invalid_tag = "invalid_tag";
inline constexpr std::string_view invalid_server = "invalid_server";
inline constexpr std::string_view invalid_port = "invalid_port";
inline constexpr std::string_view invalid_uuid = "invalid_uuid";
inline constexpr std::string_view invalid_flow = "invalid_flow";
inline constexpr std::string_view invalid_server_name = "invalid_server_name";
inline constexpr std::string_view invalid_fingerprint = "invalid_fingerprint";
inline constexpr std::string_view invalid_public_key = "invalid_public_key";
inline constexpr std::string_view invalid_short_id = "invalid_short_id";
// Endpoint resolution and pins.
inline constexpr std::string_view endpoint_unresolved = "endpoint_unresolved";
inline constexpr std::string_view endpoint_refused = "endpoint_refused";
// Kill switch.
inline constexpr std::string_view killswitch_state = "killswitch_state";
inline constexpr std::string_view killswitch_failed = "killswitch_failed";
inline constexpr std::string_view killswitch_remove_failed = "killswitch_remove_failed";
inline constexpr std::string_view killswitch_lost = "killswitch_lost";
inline constexpr std::string_view killswitch_restored = "killswitch_restored";
inline constexpr std::string_view killswitch_orphaned = "killswitch_orphaned";
// Engine supervision (reported in the status only).
inline constexpr std::string_view engine_missing = "engine_missing";
inline constexpr std::string_view engine_spawn = "engine_spawn";
inline constexpr std::string_view engine_controller = "engine_controller";
inline constexpr std::string_view engine_config = "engine_config";
inline constexpr std::string_view tun_permission = "tun_permission";
inline constexpr std::string_view engine_exit = "engine_exit";
inline constexpr std::string_view engine_timeout = "engine_timeout";
inline constexpr std::string_view engine_kill_failed = "engine_kill_failed";

}  // namespace velk::err
