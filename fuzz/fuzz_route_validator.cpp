// Feeds arbitrary bytes through the request path: JSON value -> strict
// decoding -> validation -> configuration document, which must then be
// compact, valid JSON that reads back with the request's routes in order.
// The same bytes also go in as the raw JSON text of one member of a valid
// request, and as the value of one field of a decoded valid request, so that
// the decoder's and the validator's boundaries are reached without first
// guessing a whole request.

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include <nlohmann/json.hpp>

#include "engine/controller_access.h"
#include "engine/engine_config.h"
#include "engine/route_json.h"
#include "engine/route_validation.h"

namespace {

void check(bool condition) {
  if (!condition) std::abort();
}

void check_document(const velk::EngineRequest& request) {
  const velk::ControllerAccess access{8080, std::string(64, 'a')};
  const std::string text = velk::build_engine_config(request, access);
  const auto doc = nlohmann::json::parse(text, nullptr, false);
  check(!doc.is_discarded() && doc.is_object());
  check(doc.dump() == text);  // compact, keys sorted
  const auto& outbounds = doc["outbounds"];
  check(outbounds.size() == request.routes.size() + 2);
  for (std::size_t i = 0; i < request.routes.size(); ++i) {
    check(outbounds[i + 2]["tag"] == request.routes[i].tag);
    check(outbounds[i + 2]["server"] == request.routes[i].server);
    check(outbounds[i + 2].contains("packet_encoding") == !request.routes[i].flow.empty());
  }
  check(outbounds[0]["default"] == request.selected);
}

void from_json_text(const std::uint8_t* data, std::size_t size) {
  const auto value = nlohmann::json::parse(data, data + size, nullptr, false);
  if (value.is_discarded()) return;
  auto request = velk::decode_engine_request(value);
  if (!request) {
    check(request.error() == "bad_request");
    return;
  }
  // What decodes also survives its own encoding.
  auto again = velk::decode_engine_request(velk::encode_engine_request(*request));
  check(again && *again == *request);
  if (velk::validate_request(*request)) check_document(*request);
}

// First byte: which member of a valid request text gets the rest of the bytes
// as its raw JSON value (an extra unknown member included).
void spliced_member(const std::uint8_t* data, std::size_t size) {
  static const char* const names[] = {"tag",         "server",      "port",       "uuid",     "flow",    "server_name",
                                      "fingerprint", "public_key", "short_id", "selected", "routes", "extra"};
  static const char* const values[] = {"\"srv-b\"",
                                       "\"10.0.0.2\"",
                                       "443",
                                       "\"123e4567-e89b-12d3-a456-426614174000\"",
                                       "\"\"",
                                       "\"www.example.com\"",
                                       "\"firefox\"",
                                       "\"abcdefghijklmnopqrstuvwxyzABCDEFGHIJ0123-_x\"",
                                       "\"\"",
                                       "\"auto\""};
  if (size == 0) return;
  const std::size_t which = data[0] % 12;
  const std::string raw(reinterpret_cast<const char*>(data + 1), size - 1);
  std::string route = "{";
  for (std::size_t i = 0; i < 9; ++i) {
    if (i) route += ',';
    route += std::string("\"") + names[i] + "\":" + (i == which ? raw : values[i]);
  }
  route += '}';
  std::string text = "{\"routes\":" + (which == 10 ? raw : "[" + route + "]") +
                     ",\"selected\":" + (which == 9 ? raw : values[9]);
  if (which == 11) text += ",\"extra\":" + raw;
  text += '}';
  from_json_text(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
}

velk::Route valid_route(std::string tag) {
  return {std::move(tag),     "10.0.0.1", 443,        "123e4567-e89b-12d3-a456-426614174000", "xtls-rprx-vision",
          "www.example.com", "chrome",   "abcdefghijklmnopqrstuvwxyzABCDEFGHIJ0123-_x", "0123abcd"};
}

// First byte: which field of the second route (or the selection) to replace;
// the rest: its new bytes (the port takes the first two).
void one_field(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return;
  velk::EngineRequest request{{valid_route("srv-a"), valid_route("srv-b")}, "srv-a"};
  velk::Route& r = request.routes[1];
  std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
  switch (data[0] % 10) {
    case 0: r.tag = text; break;
    case 1: r.server = text; break;
    case 2: r.port = static_cast<std::uint16_t>(size >= 3 ? (data[1] << 8) | data[2] : 0); break;
    case 3: r.uuid = text; break;
    case 4: r.flow = text; break;
    case 5: r.server_name = text; break;
    case 6: r.fingerprint = text; break;
    case 7: r.public_key = text; break;
    case 8: r.short_id = text; break;
    case 9: request.selected = text; break;
  }
  const auto route_ok = velk::validate_route(r);
  const auto request_ok = velk::validate_request(request);
  // A field of one route decides that route's verdict, and a broken route
  // decides the request's.
  if (!route_ok) check(!request_ok && request_ok.error() == route_ok.error());
  if (request_ok) check_document(request);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  from_json_text(data, size);
  spliced_member(data, size);
  one_field(data, size);
  return 0;
}
