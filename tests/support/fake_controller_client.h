#pragma once
// An engine controller in memory: answers current_member from a table of
// group members and every other request through a settable reply (none while
// the selector "proxy" has no member: the engine is not listening yet; a
// successful PUT switches that member), and records what it was asked.

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "supervisor/supervisor_ports.h"

namespace velk::test {

class FakeControllerClient final : public ControllerClient {
 public:
  Result<ControllerReply> request(const ControllerAccess& access, std::string_view method, std::string_view path,
                                  std::optional<std::string_view> body) override;
  std::optional<std::string> current_member(const ControllerAccess& access, std::string_view group,
                                            std::chrono::milliseconds limit) override;

  // A controller that accepts connections and never answers: each question
  // spends its whole limit in `wait` (a fake clock's sleep) and gets nothing.
  void set_silent(std::function<void(std::chrono::milliseconds)> wait);

  // What current_member answers for `group` (none: no answer).
  void set_member(const std::string& group, std::optional<std::string> member);
  // What request() answers; a failure is "engine_unreachable".
  void set_reply(std::optional<ControllerReply> reply);

  struct Call {
    ControllerAccess access;
    std::string method;
    std::string path;
    std::optional<std::string> body;
  };
  std::vector<Call> requests();
  // Groups asked by current_member, in order.
  std::vector<std::string> member_questions();
  bool await_member_questions(std::size_t count, std::chrono::milliseconds limit = std::chrono::seconds(20));
  // Runs at the start of every request(), before it answers (set it before the engine asks).
  std::function<void()> on_request;

 private:
  std::mutex m_;
  std::condition_variable changed_;
  std::map<std::string, std::optional<std::string>, std::less<>> members_;
  std::optional<ControllerReply> reply_ = ControllerReply{200, "{}"};
  std::vector<Call> requests_;
  std::vector<std::string> questions_;
  std::function<void(std::chrono::milliseconds)> silent_wait_;
};

}  // namespace velk::test
