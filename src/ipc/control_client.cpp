#include "ipc/control_client.h"

#include <utility>
#include <variant>

namespace velk {

ControlClient::ControlClient(std::shared_ptr<HelperConnector> connector, Clock& clock, ThreadStarter start_thread,
                             Clock::duration deadline, std::string pipe_path, ServerCheck trusted)
    : connector_(std::move(connector)),
      clock_(clock),
      start_thread_(std::move(start_thread)),
      deadline_(deadline),
      pipe_path_(std::move(pipe_path)),
      trusted_(std::move(trusted)) {}

ServerCheck served_by_helper_service(std::function<std::optional<std::uint32_t>()> service_pid) {
  return [service_pid = std::move(service_pid)](std::optional<std::uint32_t> server) {
    if (!server) return false;
    std::optional<std::uint32_t> expected = service_pid();
    return expected && *expected == *server;
  };
}

std::optional<Response> ControlClient::call_helper(const Request& request) const {
  // The worker owns everything it touches: it may outlive this call and this client.
  auto work = [connector = connector_, path = pipe_path_, trusted = trusted_,
               text = encode_request(request)]() -> std::optional<Response> {
    std::optional<std::string> line = exchange_line(*connector, path, text, trusted);
    if (!line) return std::nullopt;
    Result<Response> decoded = decode_response(*line);
    if (!decoded) return std::nullopt;
    return std::move(decoded).value();
  };
  return run_with_deadline<Response>(std::move(work), deadline_, start_thread_);
}

std::optional<Status> ControlClient::query_helper_status() const {
  std::optional<Response> answer = call_helper(Request{Request::Status{}});
  if (!answer) return std::nullopt;
  if (auto* status = std::get_if<Status>(&answer->value)) return std::move(*status);
  return std::nullopt;
}

bool ControlClient::ask_helper_to_turn_off(const LogSink& log) const {
  std::optional<Response> answer = call_helper(Request{Request::EmergencyOff{}});
  if (!answer) return false;
  if (std::holds_alternative<Status>(answer->value)) return true;
  if (auto* error = std::get_if<Response::Error>(&answer->value)) log("the helper answered: " + error->code);
  return false;
}

std::optional<std::string> ControlClient::wait_for_helper_version() const {
  const Clock::time_point start = clock_.now();
  for (;;) {
    if (std::chrono::duration_cast<std::chrono::seconds>(clock_.now() - start) >= kHelperVersionWait) {
      return std::nullopt;
    }
    if (std::optional<Status> status = query_helper_status()) return std::move(status->version);
    clock_.sleep_for(kHelperVersionPoll);
  }
}

}  // namespace velk
