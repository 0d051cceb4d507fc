#include "engine/loopback_port.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include "ipc/error_codes.h"
#include "platform/socket_win32.h"

namespace velk {
namespace {


using Socket = UniqueSocket;

}  // namespace

Result<std::uint16_t> free_loopback_port() {
  WinsockSession winsock;
  if (!winsock.ok()) return fail(err::engine_controller);
  // Not inheritable: the engine started next must not receive this socket.
  Socket s(::WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT));
  if (s.get() == INVALID_SOCKET) return fail(err::engine_controller);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  if (::bind(s.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) return fail(err::engine_controller);
  if (::listen(s.get(), 1) != 0) return fail(err::engine_controller);
  sockaddr_in bound{};
  int len = sizeof bound;
  if (::getsockname(s.get(), reinterpret_cast<sockaddr*>(&bound), &len) != 0 || bound.sin_family != AF_INET) {
    return fail(err::engine_controller);
  }
  const std::uint16_t port = ntohs(bound.sin_port);
  if (port == 0) return fail(err::engine_controller);
  return port;
}

}  // namespace velk
