#pragma once
// What the installer asks a running helper, through the control client.

#include <optional>
#include <string>

#include "ipc/control_client.h"

namespace velk {

class HelperClient {
 public:
  virtual ~HelperClient() = default;
  virtual std::optional<Status> query_helper_status() = 0;
  virtual bool ask_helper_to_turn_off(const LogSink& log) = 0;
  virtual std::optional<std::string> wait_for_helper_version() = 0;
};

// The calls of `client`.
class ControlHelperClient final : public HelperClient {
 public:
  explicit ControlHelperClient(const ControlClient& client) : client_(client) {}
  std::optional<Status> query_helper_status() override { return client_.query_helper_status(); }
  bool ask_helper_to_turn_off(const LogSink& log) override { return client_.ask_helper_to_turn_off(log); }
  std::optional<std::string> wait_for_helper_version() override { return client_.wait_for_helper_version(); }

 private:
  const ControlClient& client_;
};

}  // namespace velk
