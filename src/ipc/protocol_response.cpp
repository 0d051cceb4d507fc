// Responses: encoded by the helper, decoded leniently by the control client.

#include <limits>
#include <string>

#include "ipc/error_codes.h"
#include "ipc/protocol.h"
#include "platform/strict_json.h"

namespace velk {
namespace {

using nlohmann::json;
using nlohmann::ordered_json;

ordered_json optional_text(const std::optional<std::string>& s) {
  return s ? ordered_json(*s) : ordered_json(nullptr);
}

void put_status(ordered_json& j, const Status& s) {
  j["protocol"] = s.protocol;
  j["version"] = s.version;
  j["state"] = name_of(s.state);
  j["wanted"] = s.wanted;
  j["selected"] = optional_text(s.selected);
  j["active"] = optional_text(s.active);
  j["error"] = optional_text(s.error);
  j["restarts"] = s.restarts;
  j["kill_switch"] = name_of(s.kill_switch);
  j["needs_request"] = s.needs_request;
  j["session"] = name_of(s.session);
}

// Member readers for the lenient decoder: an absent member is `fallback` where
// one is allowed; a present member of the wrong kind is a failure.
const json* member(const json& object, const char* key) {
  auto it = object.find(key);
  return it == object.end() ? nullptr : &*it;
}

std::optional<std::uint32_t> as_u32(const json& v) {
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint32_t>::max();
  if (v.is_number_unsigned()) {
    auto n = v.get<std::uint64_t>();
    if (n <= kMax) return static_cast<std::uint32_t>(n);
  } else if (v.is_number_integer()) {  // signed: only "-0" is in range
    auto n = v.get<std::int64_t>();
    if (n >= 0 && static_cast<std::uint64_t>(n) <= kMax) return static_cast<std::uint32_t>(n);
  }
  return std::nullopt;  // negative, too large, fractional or not a number
}

bool read_u32(const json& object, const char* key, std::uint32_t& out) {
  const json* v = member(object, key);
  if (!v) return false;
  auto n = as_u32(*v);
  if (!n) return false;
  out = *n;
  return true;
}

bool read_bool(const json& object, const char* key, bool& out) {
  const json* v = member(object, key);
  if (!v || !v->is_boolean()) return false;
  out = v->get<bool>();
  return true;
}

// Absent or null leaves `out` empty.
bool read_optional_text(const json& object, const char* key, std::optional<std::string>& out) {
  const json* v = member(object, key);
  if (!v || v->is_null()) return true;
  if (!v->is_string()) return false;
  out = v->get<std::string>();
  return true;
}

template <class E>
bool read_enum(const json& object, const char* key, std::optional<E> (*from_name)(std::string_view),
               E& out) {
  const json* v = member(object, key);
  if (!v || !v->is_string()) return false;
  auto value = from_name(v->get_ref<const std::string&>());
  if (!value) return false;
  out = *value;
  return true;
}

Result<Response> decode_status(const json& object) {
  Status s;
  s.version.clear();
  if (const json* version = member(object, "version")) {
    if (!version->is_string()) return fail(err::bad_request);
    s.version = version->get<std::string>();
  }
  bool ok = read_u32(object, "protocol", s.protocol) &&
            read_enum(object, "state", &engine_state_from_name, s.state) &&
            read_bool(object, "wanted", s.wanted) &&
            read_optional_text(object, "selected", s.selected) &&
            read_optional_text(object, "active", s.active) &&
            read_optional_text(object, "error", s.error) &&
            read_u32(object, "restarts", s.restarts) &&
            read_enum(object, "kill_switch", &kill_switch_from_name, s.kill_switch) &&
            read_bool(object, "needs_request", s.needs_request) &&
            read_enum(object, "session", &session_from_name, s.session);
  if (!ok) return fail(err::bad_request);
  return Response{std::move(s)};
}

Result<Response> decode_delay(const json& object) {
  Response::Delay d;
  if (const json* ms = member(object, "ms"); ms && !ms->is_null()) {
    d.ms = as_u32(*ms);
    if (!d.ms) return fail(err::bad_request);
  }
  return Response{d};
}

Result<Response> decode_error(const json& object) {
  const json* code = member(object, "code");
  if (!code || !code->is_string()) return fail(err::bad_request);
  return Response{Response::Error{code->get<std::string>()}};
}

}  // namespace

std::string encode_response(const Response& response) {
  ordered_json j = ordered_json::object();
  if (const auto* s = std::get_if<Status>(&response.value)) {
    j["result"] = "status";
    put_status(j, *s);
  } else if (const auto* d = std::get_if<Response::Delay>(&response.value)) {
    j["result"] = "delay";
    j["ms"] = d->ms ? ordered_json(*d->ms) : ordered_json(nullptr);
  } else {
    j["result"] = "error";
    j["code"] = std::get<Response::Error>(response.value).code;
  }
  return j.dump(-1, ' ', false, ordered_json::error_handler_t::replace);
}

Result<Response> decode_response(std::string_view line) {
  auto document = parse_json_lenient(line);
  if (!document || !document->is_object()) return fail(err::bad_request);
  const json* result = member(*document, "result");
  if (!result || !result->is_string()) return fail(err::bad_request);
  const auto& name = result->get_ref<const std::string&>();
  if (name == "status") return decode_status(*document);
  if (name == "delay") return decode_delay(*document);
  if (name == "error") return decode_error(*document);
  return fail(err::bad_request);
}

}  // namespace velk
