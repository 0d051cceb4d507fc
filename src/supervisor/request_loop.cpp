#include "supervisor/request_loop.h"

#include <algorithm>
#include <cstring>
#include <span>
#include <type_traits>

#include "engine/route_validation.h"
#include "ipc/error_codes.h"
#include "supervisor/supervisor.h"

namespace velk {

namespace {

Response error_response(ErrorCode code) { return Response{Response::Error{std::string(code)}}; }

Response status_or_error(Supervisor& supervisor, const CallerIdentity& caller, Outcome outcome) {
  if (!outcome) return error_response(outcome.error());
  return Response{supervisor.status_for(caller)};
}

bool answer(ByteStream& stream, const Response& response) {
  std::string line = encode_response(response);
  line.push_back('\n');
  return stream.write_all(line);
}

}  // namespace

bool LineReader::read_line(std::string& line, std::size_t limit) {
  line.clear();
  while (line.size() < limit) {
    if (begin_ == end_) {
      const std::size_t got = stream_.read(std::span<char>(buffer_.data(), buffer_.size()));
      if (got == 0) return !line.empty();
      begin_ = 0;
      end_ = std::min(got, buffer_.size());
    }
    const std::size_t take = std::min(end_ - begin_, limit - line.size());
    const char* start = buffer_.data() + begin_;
    const void* feed = std::memchr(start, '\n', take);
    const std::size_t n = feed ? static_cast<std::size_t>(static_cast<const char*>(feed) - start) + 1 : take;
    line.append(start, n);
    begin_ += n;
    if (feed) return true;
  }
  return true;
}

Response handle_request(Supervisor& supervisor, const CallerIdentity& caller, const Request& request) {
  return std::visit(
      [&](const auto& command) -> Response {
        using C = std::decay_t<decltype(command)>;
        if constexpr (std::is_same_v<C, Request::Status>) {
          return Response{supervisor.status_for(caller)};
        } else if constexpr (std::is_same_v<C, Request::Start>) {
          if (auto valid = validate_request(command.request); !valid) return error_response(valid.error());
          return status_or_error(supervisor, caller,
                                 supervisor.apply_request(caller, command.request, command.kill_switch));
        } else if constexpr (std::is_same_v<C, Request::Replace>) {
          if (auto valid = validate_request(command.request); !valid) return error_response(valid.error());
          // Whenever the status reads something on (routes, or the kill
          // switch armed for whatever reason), replace works like start.
          if (!supervisor.snapshot().wanted) return error_response(err::not_running);
          return status_or_error(supervisor, caller, supervisor.apply_request(caller, command.request, false));
        } else if constexpr (std::is_same_v<C, Request::Select>) {
          return supervisor.select(caller, command.tag);
        } else if constexpr (std::is_same_v<C, Request::TestRoute>) {
          return supervisor.test_route(caller, command.tag);
        } else if constexpr (std::is_same_v<C, Request::Stop>) {
          return status_or_error(supervisor, caller, supervisor.request_stop(caller));
        } else {
          static_assert(std::is_same_v<C, Request::EmergencyOff>);
          if (auto stopped = supervisor.request_stop(caller); !stopped) return error_response(stopped.error());
          return supervisor.finish_emergency_off(caller);
        }
      },
      request.command);
}

void serve_connection(Supervisor& supervisor, ByteStream& stream, const CallerIdentity& caller) {
  LineReader reader(stream);
  std::string line;
  // One byte over the bound tells a line that is too large from one that fits.
  while (reader.read_line(line, kMaxRequestLine + 1)) {
    if (line.size() > kMaxRequestLine) {
      (void)answer(stream, error_response(err::too_large));
      return;
    }
    auto request = decode_request(line);
    const Response response =
        request ? handle_request(supervisor, caller, *request) : error_response(err::bad_request);
    if (!answer(stream, response)) return;
  }
}

void Supervisor::serve_connection(ByteStream& stream, const CallerIdentity& caller) {
  velk::serve_connection(*this, stream, caller);
}

}  // namespace velk
