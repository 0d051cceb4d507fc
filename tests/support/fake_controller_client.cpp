#include "fake_controller_client.h"

#include <nlohmann/json.hpp>

#include "ipc/error_codes.h"

namespace velk::test {

Result<ControllerReply> FakeControllerClient::request(const ControllerAccess& access, std::string_view method,
                                                      std::string_view path, std::optional<std::string_view> body) {
  if (on_request) on_request();
  std::lock_guard l(m_);
  requests_.push_back(Call{access, std::string(method), std::string(path),
                           body ? std::optional<std::string>(std::string(*body)) : std::nullopt});
  changed_.notify_all();
  // An engine whose selector does not answer is not listening yet.
  auto selector = members_.find("proxy");
  if (!reply_ || selector == members_.end() || !selector->second) return fail(err::engine_unreachable);
  if (method == "PUT" && reply_->status >= 200 && reply_->status <= 299 && body) {
    const auto doc = nlohmann::json::parse(*body, nullptr, false);
    if (doc.is_object() && doc.contains("name")) selector->second = doc["name"].get<std::string>();
  }
  return *reply_;
}

std::optional<std::string> FakeControllerClient::current_member(const ControllerAccess&, std::string_view group,
                                                              std::chrono::milliseconds limit) {
  std::function<void(std::chrono::milliseconds)> silent_wait;
  {
    std::lock_guard l(m_);
    questions_.emplace_back(group);
    changed_.notify_all();
    silent_wait = silent_wait_;
  }
  if (silent_wait) {
    silent_wait(limit);
    return std::nullopt;
  }
  std::lock_guard l(m_);
  auto it = members_.find(group);
  if (it == members_.end()) return std::nullopt;
  return it->second;
}

void FakeControllerClient::set_member(const std::string& group, std::optional<std::string> member) {
  std::lock_guard l(m_);
  members_[group] = std::move(member);
}

void FakeControllerClient::set_silent(std::function<void(std::chrono::milliseconds)> wait) {
  std::lock_guard l(m_);
  silent_wait_ = std::move(wait);
}

void FakeControllerClient::set_reply(std::optional<ControllerReply> reply) {
  std::lock_guard l(m_);
  reply_ = std::move(reply);
}

std::vector<FakeControllerClient::Call> FakeControllerClient::requests() {
  std::lock_guard l(m_);
  return requests_;
}

std::vector<std::string> FakeControllerClient::member_questions() {
  std::lock_guard l(m_);
  return questions_;
}

bool FakeControllerClient::await_member_questions(std::size_t count, std::chrono::milliseconds limit) {
  std::unique_lock l(m_);
  return changed_.wait_for(l, limit, [&] { return questions_.size() >= count; });
}

}  // namespace velk::test
