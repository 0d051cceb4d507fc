#pragma once
// The client of the engine's HTTP controller: one HTTP/1.0 exchange per request
// over a fresh loopback connection, with fixed time-outs and a 1 MiB answer cap.
// Nothing is kept between requests, so any thread may call at any time; never
// hold a supervisor lock across a call.
//
// A transport failure (connection, time-out, write, read, malformed answer) is
// the error "engine_unreachable"; any status the controller answers is a reply.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "engine/controller_access.h"
#include "engine/route.h"
#include "platform/result.h"

namespace velk {

// The engine configuration's two fixed groups: the manual selector and the
// latency-test group.
inline constexpr std::string_view kSelectorGroup = "proxy";
inline constexpr std::string_view kLatencyGroup = "auto";

struct ControllerReply {
  std::uint32_t status = 0;
  std::string body;  // everything after the header block, valid UTF-8

  bool operator==(const ControllerReply&) const = default;
};

// The fixed limits of one exchange. Only tests shorten them.
struct ControllerTimeouts {
  std::chrono::milliseconds connect{2000};
  std::chrono::milliseconds receive{8000};
  std::chrono::milliseconds send{2000};
  // The whole exchange, from the connect to the last byte of the answer.
  std::chrono::milliseconds total{12000};
};

// The longest one exchange takes with the fixed limits (connect, send, receive).
inline constexpr std::chrono::milliseconds kControllerExchangeLimit{12000};

// The fixed limits, with the whole exchange ending within `limit` (at most
// kControllerExchangeLimit).
ControllerTimeouts controller_timeouts_within(std::chrono::milliseconds limit);

inline constexpr std::size_t kControllerAnswerCap = 1048576;

// method + path + body over 127.0.0.1:access.port, authenticated with the secret.
Result<ControllerReply> controller_request(const ControllerAccess& access, std::string_view method,
                                           std::string_view path, std::optional<std::string_view> body,
                                           const ControllerTimeouts& timeouts = {});

// The member a selector or test group currently uses ("now"); none on any failure.
std::optional<std::string> current_member(const ControllerAccess& access, std::string_view group,
                                          const ControllerTimeouts& timeouts = {});

// The route carrying traffic, as the engine thread reports it in `active`: the
// selector's current member; when that is "auto", the member "auto" has chosen.
// Only "auto" and the tags of `request` are taken from the engine: any other
// name (whatever answers on the controller's port may say anything) counts as
// no answer, like "" from a latency-test group before its first check ends;
// the result is then "auto" itself. None only when the selector gives no
// acceptable answer (the engine is not ready).
std::optional<std::string> current_route(const ControllerAccess& access, const EngineRequest& request,
                                         const ControllerTimeouts& timeouts = {});
// The same rule over any lookup of a group's member (for tests and fakes).
std::optional<std::string> current_route_from(
    const std::function<std::optional<std::string>(std::string_view group)>& member_of, const EngineRequest& request);

// `select`: switches the selector "proxy" to tag. Errors: "engine_unreachable"
// (transport), "engine_refused" (a status outside 200..299).
Outcome select_route(const ControllerAccess& access, std::string_view tag, const ControllerTimeouts& timeouts = {});

// `test_route`: asks the engine to measure tag's delay. A reply without a usable
// delay gives none (not an error); a transport failure is "engine_unreachable".
Result<std::optional<std::uint32_t>> measure_route_delay(const ControllerAccess& access, std::string_view tag,
                                                         const ControllerTimeouts& timeouts = {});

// ---- The plain pieces, exposed for tests ----

// The exact request text: CR LF line ends, content type and length on every
// request (length 0 and nothing after the blank line without a body).
std::string build_controller_request(std::string_view method, std::string_view path, std::string_view secret,
                                     std::optional<std::string_view> body);

// Reads the raw answer: lossy UTF-8 decode, split at the first blank line, the
// status from the second word of the header block. Error: "engine_unreachable".
Result<ControllerReply> parse_controller_answer(std::string_view bytes);

// "now" of a status-200 reply whose body is a JSON object holding it as text.
std::optional<std::string> member_from_reply(const ControllerReply& reply);

// "delay" of a status-200 reply whose body is a JSON object holding it as a
// non-negative integer that fits 32 bits; none otherwise.
std::optional<std::uint32_t> delay_from_reply(const ControllerReply& reply);

// The socket exchange (controller_client_win32.cpp / controller_client_posix.cpp):
// connect to 127.0.0.1:port within timeouts.connect, set the receive and send
// time-outs, send the whole request, read until the peer closes but at most
// `cap` bytes, all within timeouts.receive (a controller that trickles its
// answer is cut off as one that stays silent); each step also ends where
// timeouts.total, counted from the start, ends. Any failure, the receive
// time-out included, is "engine_unreachable" and discards what was read.
Result<std::string> loopback_exchange(std::uint16_t port, std::string_view request, std::size_t cap,
                                      const ControllerTimeouts& timeouts);

}  // namespace velk
