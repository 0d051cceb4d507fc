#pragma once
// Which addresses a server may have: never the unspecified or broadcast
// address, loopback, multicast or link-local. Private ranges are fine. An
// IPv4-mapped IPv6 address (::ffff:a.b.c.d) is judged as the IPv4 address it
// reaches.

#include <optional>
#include <vector>

#include "platform/ip_address.h"

namespace velk {

bool is_acceptable_server_address(const IpAddress& address);

// The IPv4 address an IPv4-mapped IPv6 address (::ffff:a.b.c.d) carries; none
// for any other address. A connection to a mapped address leaves the machine
// as IPv4, so that is the address to pin.
std::optional<IpAddress> ipv4_carried_by(const IpAddress& address);

// From a resolver's answer, in its order: the first acceptable IPv4 address,
// else the first acceptable address of either family, else none.
std::optional<IpAddress> choose_server_address(const std::vector<IpAddress>& answer);

}  // namespace velk
