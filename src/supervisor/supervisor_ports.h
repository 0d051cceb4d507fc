#pragma once
// What the supervisor and its engine thread reach outside themselves, as small
// interfaces: the engine process, the engine's controller, and the clock. The
// system's implementations sit in supervisor_system*.cpp; tests pass fakes.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "engine/controller_access.h"
#include "killswitch/endpoint_resolution.h"
#include "platform/result.h"
#include "supervisor/controller_client.h"
#include "supervisor/supervisor_clock.h"
#include "wfp/filter_ops.h"

namespace velk {

// One started engine process with its output reader.
class EngineProcess {
 public:
  // Leaves a reader that still runs to finish on its own and closes the
  // process's handles.
  virtual ~EngineProcess() = default;
  // Whether the process has ended, without waiting; a failed question counts as ended.
  virtual bool exited() = 0;
  // After exited(): joins the output reader and returns its classification of
  // the engine's standard error ("tun_permission", "engine_config",
  // "engine_exit"); "engine_exit" when there is no reader or it failed.
  virtual ErrorCode exit_code() = 0;
  // Terminates the process at once and makes sure it is gone (a second
  // termination after about 5 seconds). Errors are ignored.
  virtual void terminate() = 0;
};

class EngineLauncher {
 public:
  virtual ~EngineLauncher() = default;
  // Starts `engine_path run -c stdin --disable-color` inside the job object,
  // writes `config` to its standard input and closes it, and starts the reader
  // of its standard error. Errors: "engine_missing" (no such executable),
  // "engine_spawn" (any other failure to create the process).
  virtual Result<std::unique_ptr<EngineProcess>> launch(const std::filesystem::path& engine_path,
                                                        std::string_view config) = 0;
};

class ControllerClient {
 public:
  virtual ~ControllerClient() = default;
  // One exchange with the engine's controller; a transport failure is "engine_unreachable".
  virtual Result<ControllerReply> request(const ControllerAccess& access, std::string_view method,
                                          std::string_view path, std::optional<std::string_view> body) = 0;
  // The member a group currently uses ("now"); none on any failure.
  virtual std::optional<std::string> current_member(const ControllerAccess& access, std::string_view group) = 0;
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
