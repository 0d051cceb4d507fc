#include "ipc/control_client_io.h"

#include <algorithm>
#include <thread>

namespace velk {

std::optional<std::string> read_answer_line(HelperConnection& connection) {
  std::string line;
  char buffer[kAnswerReadBuffer];
  while (line.size() < kMaxAnswerBytes) {
    std::size_t room = std::min(sizeof buffer, kMaxAnswerBytes - line.size());
    std::optional<std::size_t> got = connection.read(std::span<char>(buffer, room));
    if (!got) return std::nullopt;
    if (*got == 0) break;
    std::string_view chunk(buffer, std::min(*got, room));
    std::size_t feed = chunk.find('\n');
    if (feed != std::string_view::npos) {
      line.append(chunk.substr(0, feed + 1));
      break;
    }
    line.append(chunk);
  }
  return line;
}

std::optional<std::string> exchange_line(HelperConnector& connector, std::string_view pipe_path,
                                         std::string_view request, const ServerCheck& trusted) {
  std::unique_ptr<HelperConnection> connection = connector.open(pipe_path);
  if (!connection) return std::nullopt;
  if (trusted && !trusted(connection->server_pid())) return std::nullopt;
  std::string message(request);
  message += '\n';
  if (!connection->write_all(message)) return std::nullopt;
  return read_answer_line(*connection);
}

ThreadStarter detached_thread_starter() {
  return [](std::function<void()> body) {
    try {
      std::thread(std::move(body)).detach();
      return true;
    } catch (...) {
      return false;
    }
  };
}

}  // namespace velk
