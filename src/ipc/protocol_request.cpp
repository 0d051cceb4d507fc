// Requests: decoded strictly by the helper, encoded by the control client.

#include <initializer_list>
#include <string>

#include "engine/route_json.h"
#include "ipc/error_codes.h"
#include "ipc/protocol.h"
#include "platform/strict_json.h"

namespace velk {
namespace {

using nlohmann::json;
using nlohmann::ordered_json;

template <class... F>
struct Overloaded : F... {
  using F::operator()...;
};
template <class... F>
Overloaded(F...) -> Overloaded<F...>;

// True when every member other than "cmd" is one of `fields`.
bool only_fields(const json& object, std::initializer_list<std::string_view> fields) {
  for (auto it = object.begin(); it != object.end(); ++it) {
    const std::string& key = it.key();
    if (key == "cmd") continue;
    bool known = false;
    for (std::string_view f : fields) known = known || key == f;
    if (!known) return false;
  }
  return true;
}

Result<EngineRequest> engine_request_member(const json& object) {
  auto it = object.find("request");
  if (it == object.end()) return fail(err::bad_request);
  auto decoded = decode_engine_request(*it);
  if (!decoded) return fail(err::bad_request);
  return std::move(decoded).value();
}

Result<std::string> tag_member(const json& object) {
  auto it = object.find("tag");
  if (it == object.end() || !it->is_string()) return fail(err::bad_request);
  return it->get<std::string>();
}

Result<Request> decode_start(const json& object) {
  if (!only_fields(object, {"request", "kill_switch"})) return fail(err::bad_request);
  auto request = engine_request_member(object);
  if (!request) return fail(err::bad_request);
  Request::Start start{std::move(request).value(), true};
  if (auto it = object.find("kill_switch"); it != object.end()) {
    if (!it->is_boolean()) return fail(err::bad_request);
    start.kill_switch = it->get<bool>();
  }
  return Request{std::move(start)};
}

Result<Request> decode_replace(const json& object) {
  if (!only_fields(object, {"request"})) return fail(err::bad_request);
  auto request = engine_request_member(object);
  if (!request) return fail(err::bad_request);
  return Request{Request::Replace{std::move(request).value()}};
}

template <class Command>
Result<Request> decode_tag_command(const json& object) {
  if (!only_fields(object, {"tag"})) return fail(err::bad_request);
  auto tag = tag_member(object);
  if (!tag) return fail(err::bad_request);
  return Request{Command{std::move(tag).value()}};
}

std::string dump_compact(const ordered_json& j) {
  // Invalid UTF-8 in a string is replaced rather than thrown about.
  return j.dump(-1, ' ', false, ordered_json::error_handler_t::replace);
}

}  // namespace

Result<Request> decode_request(std::string_view line) {
  bool repeated_member = false;
  auto document = parse_json(line, [&](std::size_t depth, const std::string& key) {
    repeated_member = true;
    return !(depth == 1 && key == "cmd");  // a second "cmd" is never accepted
  });
  if (!document || !document->is_object()) return fail(err::bad_request);
  const json& object = *document;

  auto cmd = object.find("cmd");
  if (cmd == object.end() || !cmd->is_string()) return fail(err::bad_request);
  const auto& name = cmd->get_ref<const std::string&>();

  // The commands without fields ignore every other member, whatever it holds.
  if (name == "status") return Request{Request::Status{}};
  if (name == "stop") return Request{Request::Stop{}};
  if (name == "emergency_off") return Request{Request::EmergencyOff{}};

  // The others accept no repeated member at any depth.
  if (repeated_member) return fail(err::bad_request);
  if (name == "start") return decode_start(object);
  if (name == "replace") return decode_replace(object);
  if (name == "select") return decode_tag_command<Request::Select>(object);
  if (name == "test_route") return decode_tag_command<Request::TestRoute>(object);
  return fail(err::bad_request);
}

std::string encode_request(const Request& request) {
  ordered_json j = ordered_json::object();
  std::visit(Overloaded{
                 [&](const Request::Status&) { j["cmd"] = "status"; },
                 [&](const Request::Start& c) {
                   j["cmd"] = "start";
                   j["request"] = encode_engine_request(c.request);
                   j["kill_switch"] = c.kill_switch;
                 },
                 [&](const Request::Replace& c) {
                   j["cmd"] = "replace";
                   j["request"] = encode_engine_request(c.request);
                 },
                 [&](const Request::Select& c) {
                   j["cmd"] = "select";
                   j["tag"] = c.tag;
                 },
                 [&](const Request::TestRoute& c) {
                   j["cmd"] = "test_route";
                   j["tag"] = c.tag;
                 },
                 [&](const Request::Stop&) { j["cmd"] = "stop"; },
                 [&](const Request::EmergencyOff&) { j["cmd"] = "emergency_off"; },
             },
             request.command);
  return dump_compact(j);
}

}  // namespace velk
