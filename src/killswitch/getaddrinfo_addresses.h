#pragma once
// Every address the system resolver gives for `host`, in its order. Shared by
// the Winsock and the BSD resolver: include it after the platform's socket
// headers (addrinfo, getaddrinfo and the address families come from there).

#include <array>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "platform/ip_address.h"

namespace velk {

inline std::vector<IpAddress> getaddrinfo_addresses(const std::string& host) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  addrinfo* list = nullptr;
  std::vector<IpAddress> out;
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

}  // namespace velk
