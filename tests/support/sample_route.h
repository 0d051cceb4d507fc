#pragma once
// Valid routes and requests for the engine tests; each test breaks what it checks.

#include <string>

#include "engine/route.h"

namespace velk::test {

inline Route sample_route(std::string tag = "srv-a") {
  Route r;
  r.tag = std::move(tag);
  r.server = "10.0.0.1";
  r.port = 443;
  r.uuid = "123e4567-e89b-12d3-a456-426614174000";
  r.flow = "";
  r.server_name = "www.example.com";
  r.fingerprint = "chrome";
  r.public_key = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJ0123-_x";  // 43 bytes
  r.short_id = "0123abcd";
  return r;
}

inline EngineRequest sample_request(std::size_t routes, std::string selected = "auto") {
  EngineRequest req;
  for (std::size_t i = 0; i < routes; ++i) req.routes.push_back(sample_route("srv-" + std::to_string(i)));
  req.selected = std::move(selected);
  return req;
}

}  // namespace velk::test
