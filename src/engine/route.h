#pragma once
// The routes the desktop application asks for.

#include <cstdint>
#include <string>
#include <vector>

namespace velk {

// One VLESS+REALITY server.
struct Route {
  std::string tag;
  std::string server;
  std::uint16_t port = 0;
  std::string uuid;
  std::string flow;
  std::string server_name;
  std::string fingerprint;
  std::string public_key;
  std::string short_id;

  bool operator==(const Route&) const = default;
};

struct EngineRequest {
  std::vector<Route> routes;
  std::string selected;  // a route tag, or "auto"

  bool operator==(const EngineRequest&) const = default;
};

}  // namespace velk
