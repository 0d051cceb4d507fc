#include "ipc/control_client.h"

namespace velk {

const ControlClient& system_control_client() {
  static const ControlClient client(system_helper_connector(), system_clock());
  return client;
}

std::optional<Response> call_helper(const Request& request) { return system_control_client().call_helper(request); }
std::optional<Status> query_helper_status() { return system_control_client().query_helper_status(); }
bool ask_helper_to_turn_off(const LogSink& log) { return system_control_client().ask_helper_to_turn_off(log); }
std::optional<std::string> wait_for_helper_version() { return system_control_client().wait_for_helper_version(); }

}  // namespace velk
