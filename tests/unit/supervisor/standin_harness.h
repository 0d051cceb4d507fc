#pragma once
// Native tests that run the engine stand-in as a real child process.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <initializer_list>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "engine/controller_access.h"
#include "supervisor/controller_client.h"

namespace velk::test {

inline std::filesystem::path build_dir() {
  if (const char* dir = std::getenv("VELK_BUILD_DIR")) return dir;
  return std::filesystem::read_symlink("/proc/self/exe").parent_path();
}

inline std::filesystem::path standin_path() { return build_dir() / "velkvpn-engine-standin"; }

// A loopback port that was free a moment ago.
inline std::uint16_t free_loopback_port() {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  std::uint16_t port = 0;
  if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0) {
    port = ntohs(addr.sin_port);
  }
  if (fd >= 0) ::close(fd);
  return port;
}

// Sets environment variables for the children started meanwhile.
class ScopedEnv {
 public:
  ScopedEnv(std::initializer_list<std::pair<const std::string, std::string>> vars) : vars_(vars) {
    for (const auto& [k, v] : vars_) ::setenv(k.c_str(), v.c_str(), 1);
  }
  ~ScopedEnv() {
    for (const auto& [k, v] : vars_) ::unsetenv(k.c_str());
  }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::map<std::string, std::string> vars_;
};

// The parts of the engine configuration the stand-in reads.
inline std::string standin_config(const ControllerAccess& access, const std::vector<std::string>& routes,
                                  const std::string& selected) {
  nlohmann::json members = nlohmann::json::array({"auto"});
  nlohmann::json tags = nlohmann::json::array();
  nlohmann::json outbounds = nlohmann::json::array();
  for (const auto& r : routes) {
    members.push_back(r);
    tags.push_back(r);
  }
  outbounds.push_back({{"default", selected}, {"outbounds", members}, {"tag", "proxy"}, {"type", "selector"}});
  outbounds.push_back({{"interval", "10m"}, {"outbounds", tags}, {"tag", "auto"}, {"type", "urltest"}});
  for (const auto& r : routes) outbounds.push_back({{"tag", r}, {"type", "vless"}});
  nlohmann::json doc = {
      {"experimental",
       {{"clash_api",
         {{"external_controller", "127.0.0.1:" + std::to_string(access.port)}, {"secret", access.secret}}}}},
      {"outbounds", outbounds}};
  return doc.dump();
}

inline ControllerAccess test_access() {
  return ControllerAccess{free_loopback_port(), std::string(64, 'a')};
}

// Short limits for talking to a local stand-in.
inline ControllerTimeouts quick_timeouts() {
  return ControllerTimeouts{std::chrono::milliseconds(500), std::chrono::milliseconds(2000),
                            std::chrono::milliseconds(500)};
}

// Asks the group's member until it answers or the bound passes.
inline std::optional<std::string> await_member(const ControllerAccess& access, std::string_view group,
                                               std::chrono::milliseconds bound = std::chrono::seconds(15)) {
  auto deadline = std::chrono::steady_clock::now() + bound;
  for (;;) {
    if (auto m = current_member(access, group, quick_timeouts())) return m;
    if (std::chrono::steady_clock::now() > deadline) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

}  // namespace velk::test
