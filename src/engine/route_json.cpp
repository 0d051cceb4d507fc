#include "engine/route_json.h"

#include <array>
#include <limits>
#include <string_view>

#include "ipc/error_codes.h"

namespace velk {
namespace {

constexpr std::array<std::string_view, 2> request_keys = {"routes", "selected"};
constexpr std::array<std::string_view, 9> route_keys = {"tag",         "server",      "port",       "uuid",    "flow",
                                                        "server_name", "fingerprint", "public_key", "short_id"};

template <std::size_t N>
std::string key_list(const std::array<std::string_view, N>& keys) {
  std::string out;
  for (auto k : keys) {
    if (!out.empty()) out += ", ";
    out += k;
  }
  return out;
}

// Collects the reason of the first failure; decoding stops there.
class Decoder {
 public:
  explicit Decoder(std::string* why) : why_(why) {}

  Error failure(std::string reason) {
    if (why_) *why_ = std::move(reason);
    return fail(err::bad_request);
  }

  // Exactly the expected keys: none unknown, none missing.
  template <class Json, std::size_t N>
  Outcome check_keys(const Json& obj, std::string_view what, const std::array<std::string_view, N>& keys) {
    if (!obj.is_object()) return failure(std::string(what) + " must be a JSON object");
    for (auto it = obj.begin(); it != obj.end(); ++it) {
      bool known = false;
      for (auto k : keys) known = known || it.key() == k;
      if (!known) {
        return failure("unknown key \"" + it.key() + "\" in " + std::string(what) + ", expected " + key_list(keys));
      }
    }
    for (auto k : keys) {
      if (obj.find(std::string(k)) == obj.end()) {
        return failure("missing key \"" + std::string(k) + "\" in " + std::string(what));
      }
    }
    return {};
  }

  template <class Json>
  Outcome string_field(const Json& obj, std::string_view key, std::string& out) {
    const auto& v = obj.find(std::string(key)).value();
    if (!v.is_string()) return failure("\"" + std::string(key) + "\" must be a string");
    out = v.template get_ref<const std::string&>();
    return {};
  }

  // A JSON number written without fraction or exponent, 0..65535. nlohmann
  // keeps such a number as an integer; "1.0" or "1e2" arrive as floats.
  template <class Json>
  Outcome port_field(const Json& obj, std::uint16_t& out) {
    const auto& v = obj.find("port").value();
    constexpr auto max = std::numeric_limits<std::uint16_t>::max();
    if (v.is_number_unsigned()) {
      const auto n = v.template get<std::uint64_t>();
      if (n <= max) {
        out = static_cast<std::uint16_t>(n);
        return {};
      }
    } else if (v.is_number_integer()) {
      const auto n = v.template get<std::int64_t>();
      if (n >= 0 && n <= max) {  // "-0" is an integer too
        out = static_cast<std::uint16_t>(n);
        return {};
      }
    }
    return failure("\"port\" must be an integer from 0 to 65535");
  }

  template <class Json>
  Result<Route> route(const Json& obj) {
    if (auto ok = check_keys(obj, "route", route_keys); !ok) return Error{ok.error()};
    Route r;
    Outcome ok = string_field(obj, "tag", r.tag);
    if (ok) ok = string_field(obj, "server", r.server);
    if (ok) ok = port_field(obj, r.port);
    if (ok) ok = string_field(obj, "uuid", r.uuid);
    if (ok) ok = string_field(obj, "flow", r.flow);
    if (ok) ok = string_field(obj, "server_name", r.server_name);
    if (ok) ok = string_field(obj, "fingerprint", r.fingerprint);
    if (ok) ok = string_field(obj, "public_key", r.public_key);
    if (ok) ok = string_field(obj, "short_id", r.short_id);
    if (!ok) return Error{ok.error()};
    return r;
  }

  template <class Json>
  Result<EngineRequest> request(const Json& obj) {
    if (auto ok = check_keys(obj, "request", request_keys); !ok) return Error{ok.error()};
    EngineRequest req;
    const auto& routes = obj.find("routes").value();
    if (!routes.is_array()) return failure("\"routes\" must be an array");
    req.routes.reserve(routes.size());
    for (const auto& item : routes) {
      auto r = route(item);
      if (!r) return Error{r.error()};
      req.routes.push_back(std::move(r).value());
    }
    if (auto ok = string_field(obj, "selected", req.selected); !ok) return Error{ok.error()};
    return req;
  }

 private:
  std::string* why_;
};

}  // namespace

Result<EngineRequest> decode_engine_request(const nlohmann::json& value, std::string* why) {
  return Decoder(why).request(value);
}

Result<EngineRequest> decode_engine_request(const nlohmann::ordered_json& value, std::string* why) {
  return Decoder(why).request(value);
}

nlohmann::ordered_json encode_engine_request(const EngineRequest& request) {
  auto routes = nlohmann::ordered_json::array();
  for (const Route& r : request.routes) {
    nlohmann::ordered_json o = nlohmann::ordered_json::object();
    o["tag"] = r.tag;
    o["server"] = r.server;
    o["port"] = r.port;
    o["uuid"] = r.uuid;
    o["flow"] = r.flow;
    o["server_name"] = r.server_name;
    o["fingerprint"] = r.fingerprint;
    o["public_key"] = r.public_key;
    o["short_id"] = r.short_id;
    routes.push_back(std::move(o));
  }
  nlohmann::ordered_json out = nlohmann::ordered_json::object();
  out["routes"] = std::move(routes);
  out["selected"] = request.selected;
  return out;
}

}  // namespace velk
