#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstring>

#include "killswitch/host_resolver.h"
#include "platform/socket_win32.h"

namespace velk {
namespace {

class GetAddrInfoResolver final : public HostResolver {
 public:
  std::vector<IpAddress> resolve(const std::string& host) override {
    // An empty name would ask for this machine's own addresses (Windows).
    if (host.empty()) return {};
    std::vector<IpAddress> out;
    WinsockSession winsock;
    if (!winsock.ok()) return out;
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    addrinfo* list = nullptr;
    if (::getaddrinfo(host.c_str(), nullptr, &hints, &list) != 0) return out;
    for (addrinfo* a = list; a != nullptr; a = a->ai_next) {
      if (a->ai_family == AF_INET && a->ai_addrlen >= sizeof(sockaddr_in)) {
        std::array<std::uint8_t, 4> b{};
        std::memcpy(b.data(), &reinterpret_cast<const sockaddr_in*>(a->ai_addr)->sin_addr, 4);
        out.push_back(IpAddress::v4(b));
      } else if (a->ai_family == AF_INET6 && a->ai_addrlen >= sizeof(sockaddr_in6)) {
        std::array<std::uint8_t, 16> b{};
        std::memcpy(b.data(), &reinterpret_cast<const sockaddr_in6*>(a->ai_addr)->sin6_addr, 16);
        out.push_back(IpAddress::v6(b));
      }
    }
    ::freeaddrinfo(list);
    return out;
  }
};

}  // namespace

std::shared_ptr<HostResolver> system_host_resolver() { return std::make_shared<GetAddrInfoResolver>(); }

}  // namespace velk
