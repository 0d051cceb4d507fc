#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include "killswitch/getaddrinfo_addresses.h"
#include "killswitch/host_resolver.h"

namespace velk {
namespace {

class GetAddrInfoResolver final : public HostResolver {
 public:
  std::vector<IpAddress> resolve(const std::string& host) override {
    // An empty name would ask for this machine's own addresses (Windows).
    if (host.empty()) return {};
    return getaddrinfo_addresses(host);
  }
};

}  // namespace

std::shared_ptr<HostResolver> system_host_resolver() { return std::make_shared<GetAddrInfoResolver>(); }

}  // namespace velk
