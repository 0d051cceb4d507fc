// Feeds arbitrary bytes to the reading of the engine controller's answers: the
// raw HTTP answer (status line, headers, body), and, as the body of a status
// 200 reply, to the readings of "now" (the current member) and "delay".

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "platform/text.h"
#include "supervisor/controller_client.h"

namespace {

void check(bool condition) {
  if (!condition) std::abort();
}

void read_body(const velk::ControllerReply& reply) {
  const auto now = velk::member_from_reply(reply);
  const auto delay = velk::delay_from_reply(reply);
  if (reply.status != 200) check(!now && !delay);
  if (now) check(velk::is_valid_utf8(*now));
  // The active route as the engine thread reads it from two group answers.
  const auto route = velk::current_route_from([&](std::string_view group) {
    return group == velk::kSelectorGroup ? now : velk::member_from_reply({reply.status, "{\"now\":\"\"}"});
  });
  check(route == now);
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
