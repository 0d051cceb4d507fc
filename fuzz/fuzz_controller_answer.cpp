// Feeds arbitrary bytes to the reading of the engine controller's answers: the
// raw HTTP answer (status line, headers, body), and, as the body of a status
// 200 reply, to the readings of "now" (the current member) and "delay" and to
// the rule that takes the active route from "now".

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "engine/route.h"
#include "platform/text.h"
#include "supervisor/controller_client.h"

namespace {

void check(bool condition) {
  if (!condition) std::abort();
}

velk::EngineRequest two_routes() {
  velk::EngineRequest request;
  for (const char* tag : {"srv-1", "srv-2"}) {
    velk::Route route;
    route.tag = tag;
    request.routes.push_back(route);
  }
  request.selected = "auto";
  return request;
}

void read_body(const velk::ControllerReply& reply) {
  static const velk::EngineRequest request = two_routes();
  const auto now = velk::member_from_reply(reply);
  const auto delay = velk::delay_from_reply(reply);
  if (reply.status != 200) check(!now && !delay);
  if (now) check(velk::is_valid_utf8(*now));
  // The active route as the engine thread takes it from the selector's and
  // the latency group's answers (here both this reply): "auto" or a tag of
  // the request, never anything else the controller says.
  const auto route = velk::current_route_from([&](std::string_view) { return now; }, request);
  if (route) check(*route == "auto" || *route == "srv-1" || *route == "srv-2");
  if (now && (*now == "srv-1" || *now == "srv-2" || *now == "auto")) check(route == now);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);

  if (auto reply = velk::parse_controller_answer(bytes)) {
    const std::string text = velk::utf8_lossy(bytes);
    const std::size_t split = text.find("\r\n\r\n");
    check(split != std::string::npos);
    check(reply->body == text.substr(split + 4));
    check(velk::is_valid_utf8(reply->body));
    read_body(*reply);
  }

  // The same bytes as a body behind a well-formed status line.
  if (auto reply = velk::parse_controller_answer("HTTP/1.1 200 OK\r\nContent-Type: application/json\r\n\r\n" +
                                                 std::string(bytes))) {
    check(reply->status == 200);
    read_body(*reply);
  } else {
    std::abort();
  }
  return 0;
}
