#include "engine/loopback_port.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "ipc/error_codes.h"
#include "platform/socket_posix.h"

namespace velk {
namespace {

using Socket = UniqueSocket;

}  // namespace

Result<std::uint16_t> free_loopback_port() {
  Socket s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP));
  if (s.get() < 0) return fail(err::engine_controller);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  if (::bind(s.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) return fail(err::engine_controller);
  if (::listen(s.get(), 1) != 0) return fail(err::engine_controller);
  sockaddr_in bound{};
  socklen_t len = sizeof bound;
  if (::getsockname(s.get(), reinterpret_cast<sockaddr*>(&bound), &len) != 0 || bound.sin_family != AF_INET) {
    return fail(err::engine_controller);
  }
  const std::uint16_t port = ntohs(bound.sin_port);
  if (port == 0) return fail(err::engine_controller);
  return port;
}

}  // namespace velk
