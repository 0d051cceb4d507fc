#include "supervisor/controller_client.h"

#include <algorithm>

#include <nlohmann/json.hpp>

#include "ipc/error_codes.h"
#include "platform/text.h"

namespace velk {
namespace {

constexpr std::string_view kWhiteSpace = " \t\r\n\v\f";

// The second white-space-separated word of text, if any.
std::optional<std::string_view> second_word(std::string_view text) {
  std::size_t a = text.find_first_not_of(kWhiteSpace);
  if (a == std::string_view::npos) return std::nullopt;
  std::size_t b = text.find_first_of(kWhiteSpace, a);
  if (b == std::string_view::npos) return std::nullopt;
  std::size_t c = text.find_first_not_of(kWhiteSpace, b);
  if (c == std::string_view::npos) return std::nullopt;
  std::size_t d = text.find_first_of(kWhiteSpace, c);
  return text.substr(c, d == std::string_view::npos ? std::string_view::npos : d - c);
}

// An unsigned decimal of at most 32 bits, optionally preceded by "+".
std::optional<std::uint32_t> parse_u32(std::string_view word) {
  if (!word.empty() && word.front() == '+') word.remove_prefix(1);
  if (word.empty()) return std::nullopt;
  std::uint64_t v = 0;
  for (char ch : word) {
    if (ch < '0' || ch > '9') return std::nullopt;
    v = v * 10 + static_cast<std::uint64_t>(ch - '0');
    if (v > 0xFFFFFFFFu) return std::nullopt;
  }
  return static_cast<std::uint32_t>(v);
}

// The body of a status-200 reply as a JSON object.
std::optional<nlohmann::json> object_body(const ControllerReply& reply) {
  if (reply.status != 200) return std::nullopt;
  nlohmann::json doc = nlohmann::json::parse(reply.body, nullptr, /*allow_exceptions=*/false);
  if (doc.is_discarded() || !doc.is_object()) return std::nullopt;
  return doc;
}

std::string proxies_path(std::string_view name) {
  std::string path = "/proxies/";
  path += name;
  return path;
}

}  // namespace

ControllerTimeouts controller_timeouts_within(std::chrono::milliseconds limit) {
  ControllerTimeouts timeouts;
  timeouts.total = std::clamp(limit, std::chrono::milliseconds{0}, kControllerExchangeLimit);
  return timeouts;
}

std::string build_controller_request(std::string_view method, std::string_view path, std::string_view secret,
                                     std::optional<std::string_view> body) {
  std::string_view content = body.value_or(std::string_view{});
  std::string out;
  out.reserve(160 + path.size() + secret.size() + content.size());
  out += method;
  out += ' ';
  out += path;
  out += " HTTP/1.0\r\nHost: 127.0.0.1\r\nAuthorization: Bearer ";
  out += secret;
  out += "\r\nContent-Type: application/json\r\nContent-Length: ";
  out += std::to_string(content.size());
  out += "\r\n\r\n";
  out += content;
  return out;
}

Result<ControllerReply> parse_controller_answer(std::string_view bytes) {
  std::string text = utf8_lossy(bytes);
  std::size_t split = text.find("\r\n\r\n");
  if (split == std::string::npos) return fail(err::engine_unreachable);
  std::optional<std::string_view> word = second_word(std::string_view(text).substr(0, split));
  if (!word) return fail(err::engine_unreachable);
  std::optional<std::uint32_t> status = parse_u32(*word);
  if (!status) return fail(err::engine_unreachable);
  return ControllerReply{*status, text.substr(split + 4)};
}

std::optional<std::string> member_from_reply(const ControllerReply& reply) {
  std::optional<nlohmann::json> doc = object_body(reply);
  if (!doc) return std::nullopt;
  auto it = doc->find("now");
  if (it == doc->end() || !it->is_string()) return std::nullopt;
  return it->get<std::string>();
}

std::optional<std::uint32_t> delay_from_reply(const ControllerReply& reply) {
  std::optional<nlohmann::json> doc = object_body(reply);
  if (!doc) return std::nullopt;
  auto it = doc->find("delay");
  if (it == doc->end()) return std::nullopt;
  if (it->is_number_unsigned()) {
    auto v = it->get<std::uint64_t>();
    if (v <= 0xFFFFFFFFu) return static_cast<std::uint32_t>(v);
    return std::nullopt;
  }
  if (it->is_number_integer()) {  // signed storage: only 0 and up count
    auto v = it->get<std::int64_t>();
    if (v >= 0 && v <= 0xFFFFFFFF) return static_cast<std::uint32_t>(v);
  }
  return std::nullopt;
}

Result<ControllerReply> controller_request(const ControllerAccess& access, std::string_view method,
                                           std::string_view path, std::optional<std::string_view> body,
                                           const ControllerTimeouts& timeouts) {
  std::string request = build_controller_request(method, path, access.secret, body);
  Result<std::string> answer = loopback_exchange(access.port, request, kControllerAnswerCap, timeouts);
  if (!answer) return fail(answer.error());
  return parse_controller_answer(*answer);
}

std::optional<std::string> current_member(const ControllerAccess& access, std::string_view group,
                                          const ControllerTimeouts& timeouts) {
  Result<ControllerReply> reply = controller_request(access, "GET", proxies_path(group), std::nullopt, timeouts);
  if (!reply) return std::nullopt;
  return member_from_reply(*reply);
}

namespace {

bool is_route_of(const EngineRequest& request, std::string_view name) {
  return std::any_of(request.routes.begin(), request.routes.end(),
                     [&](const Route& route) { return route.tag == name; });
}

}  // namespace

std::optional<std::string> current_route_from(
    const std::function<std::optional<std::string>(std::string_view group)>& member_of, const EngineRequest& request) {
  std::optional<std::string> name = member_of(kSelectorGroup);
  if (!name) return std::nullopt;
  if (*name != kLatencyGroup) {
    if (!is_route_of(request, *name)) return std::nullopt;
    return name;
  }
  std::optional<std::string> chosen = member_of(kLatencyGroup);
  if (chosen && is_route_of(request, *chosen)) return chosen;
  return name;
}

std::optional<std::string> current_route(const ControllerAccess& access, const EngineRequest& request,
                                         const ControllerTimeouts& timeouts) {
  return current_route_from([&](std::string_view group) { return current_member(access, group, timeouts); },
                            request);
}

Outcome select_route(const ControllerAccess& access, std::string_view tag, const ControllerTimeouts& timeouts) {
  // The tag passed validation (or is a fixed group tag): written verbatim.
  std::string body = "{\"name\":\"";
  body += tag;
  body += "\"}";
  Result<ControllerReply> reply = controller_request(access, "PUT", proxies_path(kSelectorGroup), body, timeouts);
  if (!reply) return fail(err::engine_unreachable);
  if (reply->status < 200 || reply->status > 299) return fail(err::engine_refused);
  return {};
}

Result<std::optional<std::uint32_t>> measure_route_delay(const ControllerAccess& access, std::string_view tag,
                                                         const ControllerTimeouts& timeouts) {
  std::string path = proxies_path(tag) + "/delay?timeout=5000";
  Result<ControllerReply> reply = controller_request(access, "GET", path, std::nullopt, timeouts);
  if (!reply) return fail(err::engine_unreachable);
  return delay_from_reply(*reply);
}

}  // namespace velk
