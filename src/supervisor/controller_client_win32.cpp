// The controller exchange over Winsock.

#include <winsock2.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <chrono>

#include "ipc/error_codes.h"
#include "platform/socket_win32.h"
#include "supervisor/controller_client.h"

namespace velk {
namespace {

// Each exchange holds its own Winsock session.
using Socket = UniqueSocket;

bool set_blocking(SOCKET s, bool blocking) {
  u_long mode = blocking ? 0 : 1;
  return ::ioctlsocket(s, FIONBIO, &mode) == 0;
}

// Non-blocking connect, then select for the bound.
bool connect_bounded(SOCKET s, std::uint16_t port, std::chrono::milliseconds bound) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (!set_blocking(s, false)) return false;
  if (::connect(s, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
    if (::WSAGetLastError() != WSAEWOULDBLOCK) return false;
    fd_set writable, failed;
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    FD_SET(s, &writable);
    FD_SET(s, &failed);
    timeval tv{};
    tv.tv_sec = static_cast<long>(bound.count() / 1000);
    tv.tv_usec = static_cast<long>((bound.count() % 1000) * 1000);
    int n = ::select(0, nullptr, &writable, &failed, &tv);
    if (n <= 0 || FD_ISSET(s, &failed) || !FD_ISSET(s, &writable)) return false;
    int so_error = 0;
    int len = sizeof so_error;
    if (::getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&so_error), &len) != 0 || so_error != 0) {
      return false;
    }
  }
  return set_blocking(s, true);
}

bool wait_readable(SOCKET s, std::chrono::milliseconds bound) {
  fd_set readable;
  FD_ZERO(&readable);
  FD_SET(s, &readable);
  timeval tv{};
  tv.tv_sec = static_cast<long>(bound.count() / 1000);
  tv.tv_usec = static_cast<long>((bound.count() % 1000) * 1000);
  return ::select(0, &readable, nullptr, nullptr, &tv) == 1;
}

bool set_timeout(SOCKET s, int option, std::chrono::milliseconds ms) {
  DWORD value = static_cast<DWORD>(ms.count());
  return ::setsockopt(s, SOL_SOCKET, option, reinterpret_cast<const char*>(&value), sizeof value) == 0;
}

}  // namespace

Result<std::string> loopback_exchange(std::uint16_t port, std::string_view request, std::size_t cap,
                                      const ControllerTimeouts& timeouts) {
  const auto end = std::chrono::steady_clock::now() + timeouts.total;
  const auto within = [&](std::chrono::milliseconds step) {
    return std::min(step, std::chrono::ceil<std::chrono::milliseconds>(end - std::chrono::steady_clock::now()));
  };
  if (within(timeouts.connect).count() <= 0) return fail(err::engine_unreachable);
  WinsockSession winsock;
  if (!winsock.ok()) return fail(err::engine_unreachable);
  Socket sock(::WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT));
  if (sock.get() == INVALID_SOCKET) return fail(err::engine_unreachable);
  if (!connect_bounded(sock.get(), port, within(timeouts.connect))) return fail(err::engine_unreachable);
  // A socket time-out of 0 means none at all: at least a millisecond.
  if (!set_timeout(sock.get(), SO_RCVTIMEO, std::max(within(timeouts.receive), std::chrono::milliseconds{1})) ||
      !set_timeout(sock.get(), SO_SNDTIMEO, std::max(within(timeouts.send), std::chrono::milliseconds{1}))) {
    return fail(err::engine_unreachable);
  }

  std::size_t sent = 0;
  while (sent < request.size()) {
    int chunk = static_cast<int>(std::min<std::size_t>(request.size() - sent, 65536));
    int n = ::send(sock.get(), request.data() + sent, chunk, 0);
    if (n <= 0) return fail(err::engine_unreachable);
    sent += static_cast<std::size_t>(n);
  }

  // The receive time-out bounds the whole answer, not only each silence, so a
  // controller that trickles bytes cannot hold the caller longer.
  auto deadline = std::min(std::chrono::steady_clock::now() + timeouts.receive, end);
  std::string answer;
  char buf[16384];
  while (answer.size() < cap) {
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0 || !wait_readable(sock.get(), left)) return fail(err::engine_unreachable);
    int want = static_cast<int>(std::min(sizeof buf, cap - answer.size()));
    int n = ::recv(sock.get(), buf, want, 0);
    if (n == SOCKET_ERROR) return fail(err::engine_unreachable);  // includes the receive time-out
    if (n == 0) break;
    answer.append(buf, static_cast<std::size_t>(n));
  }
  return answer;
}

}  // namespace velk
