#pragma once
// The messages of the control pipe: one JSON request per line from the desktop
// application, one JSON response per line back. Requests are read strictly
// (unknown and repeated members rejected, except for the commands without
// fields); responses are written compactly in declaration order and read
// leniently by the control client.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "engine/route.h"
#include "platform/result.h"
#include "platform/version.h"

namespace velk {

enum class EngineState { stopped, starting, running, stopping };
enum class KillSwitch { off, armed };
enum class Session { none, mine, other };

// The wire names ("stopped", "armed", "mine", ...).
std::string_view name_of(EngineState s);
std::string_view name_of(KillSwitch k);
std::string_view name_of(Session s);
std::optional<EngineState> engine_state_from_name(std::string_view name);
std::optional<KillSwitch> kill_switch_from_name(std::string_view name);
std::optional<Session> session_from_name(std::string_view name);

// A snapshot of the helper as one caller sees it; written in this field order.
struct Status {
  std::uint32_t protocol = kProtocol;
  std::string version{kVersion};
  EngineState state = EngineState::stopped;
  bool wanted = false;
  std::optional<std::string> selected;
  std::optional<std::string> active;
  std::optional<std::string> error;
  std::uint32_t restarts = 0;
  KillSwitch kill_switch = KillSwitch::off;
  bool needs_request = false;
  Session session = Session::none;

  bool operator==(const Status&) const = default;
};

struct Request {
  struct Status {
    bool operator==(const Status&) const = default;
  };
  struct Start {
    EngineRequest request;
    bool kill_switch = true;
    bool operator==(const Start&) const = default;
  };
  struct Replace {
    EngineRequest request;
    bool operator==(const Replace&) const = default;
  };
  struct Select {
    std::string tag;
    bool operator==(const Select&) const = default;
  };
  struct TestRoute {
    std::string tag;
    bool operator==(const TestRoute&) const = default;
  };
  struct Stop {
    bool operator==(const Stop&) const = default;
  };
  struct EmergencyOff {
    bool operator==(const EmergencyOff&) const = default;
  };

  // In the order of the commands "status", "start", "replace", "select",
  // "test_route", "stop", "emergency_off".
  std::variant<Status, Start, Replace, Select, TestRoute, Stop, EmergencyOff> command;

  bool operator==(const Request&) const = default;
};

struct Response {
  struct Delay {
    std::optional<std::uint32_t> ms;  // absent: no delay could be measured
    bool operator==(const Delay&) const = default;
  };
  struct Error {
    std::string code;  // one of ipc/error_codes.h
    bool operator==(const Error&) const = default;
  };

  // "result": "status", "delay", "error".
  std::variant<velk::Status, Delay, Error> value;

  bool operator==(const Response&) const = default;
};

// Helper side. `line` is one received line, its line feed included; every
// failure is err::bad_request.
Result<Request> decode_request(std::string_view line);
// Compact JSON without a line terminator.
std::string encode_response(const Response& response);

// Client side. encode_request writes no line terminator; decode_response fails
// with err::bad_request on anything that is not a response.
std::string encode_request(const Request& request);
Result<Response> decode_response(std::string_view line);

}  // namespace velk
