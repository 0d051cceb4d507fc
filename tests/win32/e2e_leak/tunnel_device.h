#pragma once
// The tunnel interface velkvpn0 as the engine would bring it up: a Linux TUN
// device, which Wine's ConvertInterfaceAliasToLuid finds under that alias.
//
// Only ever made inside the network namespace run-isolated.sh gives the test
// (VELK_LEAK_NETNS), never on the machine's own network. Wine hands a Unix
// program to the system without a process handle, so the test cannot wait for
// iproute2 to end; it waits instead, with a bound, for the alias to resolve
// (or to stop resolving), which is what the helper itself looks at.

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>

namespace velk::test {

inline constexpr const wchar_t* kTunnelAlias = L"velkvpn0";

// The LUID of velkvpn0 now; none when there is no such interface.
std::optional<std::uint64_t> tunnel_luid();

class TunnelDevice {
 public:
  // In the network namespace of run-isolated.sh, where the device may be made.
  static bool isolated();

  TunnelDevice() = default;
  ~TunnelDevice();  // removes the device if this object made it
  TunnelDevice(const TunnelDevice&) = delete;
  TunnelDevice& operator=(const TunnelDevice&) = delete;

  ::testing::AssertionResult create();
  ::testing::AssertionResult remove();

 private:
  bool made_ = false;
};

}  // namespace velk::test
