#pragma once
// The client side of the control protocol, as the installer uses it: one
// request, one answer, over the helper's pipe, never waiting longer than the
// call's deadline. Every failure is simply no answer.

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "ipc/control_client_io.h"
#include "ipc/pipe_server.h"
#include "ipc/protocol.h"
#include "platform/clock.h"

namespace velk {

inline constexpr Clock::duration kHelperCallDeadline = std::chrono::seconds(15);
inline constexpr Clock::duration kHelperVersionWait = std::chrono::seconds(20);
inline constexpr Clock::duration kHelperVersionPoll = std::chrono::milliseconds(250);

// Records one line of text (the installer's log).
using LogSink = std::function<void(std::string_view line)>;

class ControlClient {
 public:
  // `clock` paces wait_for_helper_version; `deadline` bounds each call; an
  // answer counts only from a server that `trusted` accepts.
  ControlClient(std::shared_ptr<HelperConnector> connector, Clock& clock,
                ThreadStarter start_thread = detached_thread_starter(),
                Clock::duration deadline = kHelperCallDeadline,
                std::string pipe_path = std::string(kDefaultPipePath), ServerCheck trusted = {});

  // One exchange on a worker of its own; none after the deadline.
  std::optional<Response> call_helper(const Request& request) const;
  // The status, only when the answer is a status answer.
  std::optional<Status> query_helper_status() const;
  // Asks for emergency_off: true only for a status answer. An error answer is
  // logged as "the helper answered: CODE".
  bool ask_helper_to_turn_off(const LogSink& log) const;
  // Polls the status every 250 ms until a helper answers (its version) or
  // 20 s have passed (none).
  std::optional<std::string> wait_for_helper_version() const;

 private:
  std::shared_ptr<HelperConnector> connector_;
  Clock& clock_;
  ThreadStarter start_thread_;
  Clock::duration deadline_;
  std::string pipe_path_;
  ServerCheck trusted_;
};

// The service VelkVpnHelper's process id while it runs, as the service
// control manager reports it (Windows build only).
std::optional<std::uint32_t> helper_service_pid();
// A check that believes only the process of the service VelkVpnHelper.
ServerCheck served_by_helper_service(std::function<std::optional<std::uint32_t>()> service_pid);

// The installer's client: the system's pipe, the real clock, 15 s per call,
// answers believed only from the service's own process (Windows build only).
const ControlClient& system_control_client();

}  // namespace velk
