#pragma once
// The engine's configuration document, generated for every engine start and
// handed to the engine on its standard input: a TUN inbound, one VLESS+REALITY
// outbound per route behind a manual selector ("proxy") and a latency-test
// group ("auto"), DNS over HTTPS through the tunnel, three routing rules and
// the local HTTP controller with its secret.

#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "engine/controller_access.h"
#include "engine/route.h"

namespace velk {

// The plain-HTTP page the "auto" group probes to measure each route's latency.
inline constexpr std::string_view connectivity_check_url = "http://cp.cloudflare.com/generate_204";

// The document as a value; objects are sorted maps, arrays keep their order.
// Only for requests that passed validate_request.
nlohmann::json engine_config_document(const EngineRequest& request, const ControllerAccess& access);

// The document as compact JSON text (no white space, keys in ascending byte
// order). Cannot fail for a validated request.
std::string build_engine_config(const EngineRequest& request, const ControllerAccess& access);

}  // namespace velk
