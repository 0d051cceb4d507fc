#pragma once
// What the supervisor and its engine thread reach outside themselves, as small
// interfaces: the filters, name resolution, the engine launcher, the engine's
// controller, and the clock. Tests pass fakes.

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "engine/controller_access.h"
#include "killswitch/endpoint_resolution.h"
#include "platform/result.h"
#include "supervisor/controller_client.h"
#include "supervisor/engine_process.h"
#include "supervisor/supervisor_clock.h"
#include "wfp/filter_ops.h"

namespace velk {

class ControllerClient {
 public:
  virtual ~ControllerClient() = default;
  // One exchange with the engine's controller; a transport failure is "engine_unreachable".
  virtual Result<ControllerReply> request(const ControllerAccess& access, std::string_view method,
                                          std::string_view path, std::optional<std::string_view> body) = 0;
  // The member a group currently uses ("now"); none on any failure. The
  // exchange ends within `limit` (at most kControllerExchangeLimit).
  virtual std::optional<std::string> current_member(const ControllerAccess& access, std::string_view group,
                                                    std::chrono::milliseconds limit) = 0;
};

// Everything the supervisor is built with besides its two paths. References
// must outlive the supervisor.
struct SupervisorPorts {
  FilterOps& filters;
  NameResolution resolution;
  EngineLauncher& launcher;
  ControllerClient& controller;
  SupervisorClock& clock;
  // A fresh controller port and secret for each engine start ("engine_controller").
  std::function<Result<ControllerAccess>()> new_access;
  // Where construction reports a kill switch it could not restore (standard error).
  std::function<void(std::string_view)> error_sink;
};

}  // namespace velk
