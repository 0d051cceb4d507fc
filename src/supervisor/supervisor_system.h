#pragma once
// The serving process's supervisor, built on the system's parts: the filters,
// the name resolver with its 4 s bound, the engine launcher with its job
// object, the controller client over loopback TCP, and the steady clock.

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "supervisor/supervisor.h"

namespace velk {

// The controller client of the engine over 127.0.0.1.
class SystemControllerClient final : public ControllerClient {
 public:
  Result<ControllerReply> request(const ControllerAccess& access, std::string_view method, std::string_view path,
                                  std::optional<std::string_view> body) override {
    return controller_request(access, method, path, body);
  }
  std::optional<std::string> current_member(const ControllerAccess& access, std::string_view group,
                                            std::chrono::milliseconds limit) override {
    return velk::current_member(access, group, controller_timeouts_within(limit));
  }
};

// A supervisor on `filters` and the system's other parts, reporting a failed
// restore on standard error. The parts live as long as the supervisor.
std::shared_ptr<Supervisor> make_supervisor_on(std::unique_ptr<FilterOps> filters,
                                               const std::filesystem::path& engine_path,
                                               std::shared_ptr<StateFiles> state_files);

// The same on the system's filtering engine (Windows build only).
std::shared_ptr<Supervisor> make_system_supervisor(const std::filesystem::path& engine_path,
                                                   std::shared_ptr<StateFiles> state_files);

}  // namespace velk
