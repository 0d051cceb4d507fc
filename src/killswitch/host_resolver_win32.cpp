#include <winsock2.h>
#include <ws2tcpip.h>

#include "killswitch/getaddrinfo_addresses.h"
#include "killswitch/host_resolver.h"
#include "platform/socket_win32.h"

namespace velk {
namespace {

class GetAddrInfoResolver final : public HostResolver {
 public:
  std::vector<IpAddress> resolve(const std::string& host) override {
    // An empty name would ask for this machine's own addresses (Windows).
    if (host.empty()) return {};
    WinsockSession winsock;
    if (!winsock.ok()) return {};
    return getaddrinfo_addresses(host);
  }
};

}  // namespace

std::shared_ptr<HostResolver> system_host_resolver() { return std::make_shared<GetAddrInfoResolver>(); }

}  // namespace velk
