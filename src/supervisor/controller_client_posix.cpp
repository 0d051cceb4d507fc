// The controller exchange over BSD sockets (the native build, where the engine
// stand-in runs as a real child in tests).

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cerrno>

#include "ipc/error_codes.h"
#include "platform/socket_posix.h"
#include "supervisor/controller_client.h"

namespace velk {
namespace {

using Socket = UniqueSocket;

timeval to_timeval(std::chrono::milliseconds ms) {
  timeval tv{};
  tv.tv_sec = static_cast<time_t>(ms.count() / 1000);
  tv.tv_usec = static_cast<suseconds_t>((ms.count() % 1000) * 1000);
  return tv;
}

bool set_blocking(int fd, bool blocking) {
  int flags = ::fcntl(fd, F_GETFL, 0);
  if (flags < 0) return false;
  flags = blocking ? (flags & ~O_NONBLOCK) : (flags | O_NONBLOCK);
  return ::fcntl(fd, F_SETFL, flags) == 0;
}

// Connects without blocking longer than the bound.
bool connect_bounded(int fd, std::uint16_t port, std::chrono::milliseconds bound) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (!set_blocking(fd, false)) return false;
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
    if (errno != EINPROGRESS) return false;
    pollfd p{fd, POLLOUT, 0};
    int n;
    do {
      n = ::poll(&p, 1, static_cast<int>(bound.count()));
    } while (n < 0 && errno == EINTR);
    if (n <= 0) return false;  // time-out or error
    int so_error = 0;
    socklen_t len = sizeof so_error;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &so_error, &len) != 0 || so_error != 0) return false;
  }
  return set_blocking(fd, true);
}

}  // namespace

Result<std::string> loopback_exchange(std::uint16_t port, std::string_view request, std::size_t cap,
                                      const ControllerTimeouts& timeouts) {
  const auto end = std::chrono::steady_clock::now() + timeouts.total;
  const auto within = [&](std::chrono::milliseconds step) {
    return std::min(step, std::chrono::ceil<std::chrono::milliseconds>(end - std::chrono::steady_clock::now()));
  };
  if (within(timeouts.connect).count() <= 0) return fail(err::engine_unreachable);
  Socket sock(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (sock.get() < 0) return fail(err::engine_unreachable);
  if (!connect_bounded(sock.get(), port, within(timeouts.connect))) return fail(err::engine_unreachable);

  timeval rcv = to_timeval(std::max(within(timeouts.receive), std::chrono::milliseconds{1}));
  timeval snd = to_timeval(std::max(within(timeouts.send), std::chrono::milliseconds{1}));
  if (::setsockopt(sock.get(), SOL_SOCKET, SO_RCVTIMEO, &rcv, sizeof rcv) != 0 ||
      ::setsockopt(sock.get(), SOL_SOCKET, SO_SNDTIMEO, &snd, sizeof snd) != 0) {
    return fail(err::engine_unreachable);
  }

  std::size_t sent = 0;
  while (sent < request.size()) {
    ssize_t n = ::send(sock.get(), request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
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
    if (left.count() <= 0) return fail(err::engine_unreachable);
    pollfd p{sock.get(), POLLIN, 0};
    int ready = ::poll(&p, 1, static_cast<int>(left.count()));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return fail(err::engine_unreachable);
    std::size_t want = std::min(sizeof buf, cap - answer.size());
    ssize_t n = ::recv(sock.get(), buf, want, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return fail(err::engine_unreachable);  // includes the receive time-out
    if (n == 0) break;
    answer.append(buf, static_cast<std::size_t>(n));
  }
  return answer;
}

}  // namespace velk
