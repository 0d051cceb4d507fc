#pragma once
// Asking the system for the addresses of a host name.

#include <memory>
#include <string>
#include <vector>

#include "platform/ip_address.h"

namespace velk {

class HostResolver {
 public:
  virtual ~HostResolver() = default;
  // Every address the resolver knows for `host`, in its order; empty when the
  // name cannot be resolved. May block for as long as the system takes.
  virtual std::vector<IpAddress> resolve(const std::string& host) = 0;
};

// getaddrinfo (Winsock on Windows). Safe to call from several threads at once.
std::shared_ptr<HostResolver> system_host_resolver();

}  // namespace velk
