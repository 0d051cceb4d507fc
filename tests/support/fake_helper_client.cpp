#include "fake_helper_client.h"

#include <chrono>

namespace velk::test {

std::optional<Status> FakeHelperClient::query_helper_status() {
  if (plan_.fails("helper.status") || !answering()) return std::nullopt;
  Status s;
  s.version = scm_.running_version;
  s.wanted = wanted;
  return s;
}

bool FakeHelperClient::ask_helper_to_turn_off(const LogSink& log) {
  if (plan_.fails("helper.emergency_off") || !answering()) return false;
  if (refusal) {
    log("the helper answered: " + *refusal);
    return false;
  }
  ++turned_off;
  wanted = false;
  return true;
}

std::optional<std::string> FakeHelperClient::wait_for_helper_version() {
  if (plan_.fails("helper.version") || !answering()) {
    clock_.sleep_for(std::chrono::seconds(20));
    return std::nullopt;
  }
  return scm_.running_version;
}

}  // namespace velk::test
