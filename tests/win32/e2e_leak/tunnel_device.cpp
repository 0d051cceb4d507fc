#include "tunnel_device.h"

// clang-format off
#include <winsock2.h>
#include <windows.h>
#include <iphlpapi.h>
// clang-format on

#include <chrono>
#include <cstdlib>
#include <thread>

namespace velk::test {
namespace {

using namespace std::chrono_literals;

constexpr auto kDeviceWait = 5s;

// iproute2's path as Wine names it (the Unix root is drive Z:).
std::optional<std::wstring> ip_tool() {
  const char* unix_path = std::getenv("VELK_LEAK_IP");
  if (!unix_path || *unix_path != '/') return std::nullopt;
  std::wstring path = L"Z:";
  for (const char* p = unix_path; *p; ++p) path += *p == '/' ? L'\\' : static_cast<wchar_t>(*p);
  return path;
}

// Starts `ip ARGS`; Wine gives no handle to wait on.
bool start_ip(const std::wstring& args) {
  const std::optional<std::wstring> tool = ip_tool();
  if (!tool) return false;
  std::wstring line = L"ip " + args;
  STARTUPINFOW si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  if (!CreateProcessW(tool->c_str(), line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) {
    return false;
  }
  if (pi.hThread) CloseHandle(pi.hThread);
  if (pi.hProcess) CloseHandle(pi.hProcess);
  return true;
}

bool await_presence(bool present) {
  const auto deadline = std::chrono::steady_clock::now() + kDeviceWait;
  while (tunnel_luid().has_value() != present) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(50ms);
  }
  return true;
}

}  // namespace

std::optional<std::uint64_t> tunnel_luid() {
  NET_LUID luid{};
  if (ConvertInterfaceAliasToLuid(kTunnelAlias, &luid) != NO_ERROR) return std::nullopt;
  return luid.Value;
}

bool TunnelDevice::isolated() {
  const char* isolated = std::getenv("VELK_LEAK_NETNS");
  return isolated && std::string(isolated) == "1";
}

TunnelDevice::~TunnelDevice() {
  if (made_) remove();
}

::testing::AssertionResult TunnelDevice::create() {
  if (!isolated()) return ::testing::AssertionFailure() << "not in a network namespace of its own";
  if (tunnel_luid()) return ::testing::AssertionFailure() << "velkvpn0 exists already";
  if (!start_ip(L"tuntap add dev velkvpn0 mode tun")) {
    return ::testing::AssertionFailure() << "cannot start iproute2: error " << GetLastError();
  }
  made_ = true;
  if (!await_presence(true)) return ::testing::AssertionFailure() << "velkvpn0 did not appear within 5 s";
  return ::testing::AssertionSuccess();
}

::testing::AssertionResult TunnelDevice::remove() {
  if (!start_ip(L"link delete velkvpn0")) {
    return ::testing::AssertionFailure() << "cannot start iproute2: error " << GetLastError();
  }
  made_ = false;
  if (!await_presence(false)) return ::testing::AssertionFailure() << "velkvpn0 was still there after 5 s";
  return ::testing::AssertionSuccess();
}

}  // namespace velk::test
