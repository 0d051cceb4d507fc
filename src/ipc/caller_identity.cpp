#include "ipc/caller_identity.h"

namespace velk {

bool caller_is_elevated(std::string_view sid, std::optional<std::uint32_t> token_elevation) {
  if (token_elevation && *token_elevation != 0) return true;
  return sid == kLocalSystemSid;
}

namespace {

// Makes the thread itself again when it leaves the scope, whatever happened inside.
class RevertOnExit {
 public:
  RevertOnExit(CallerTokenSteps& steps, bool& failed) : steps_(steps), failed_(failed) {}
  ~RevertOnExit() {
    if (steps_.revert_to_self()) return;
    failed_ = true;
    steps_.stop_process();
  }
  RevertOnExit(const RevertOnExit&) = delete;
  RevertOnExit& operator=(const RevertOnExit&) = delete;

 private:
  CallerTokenSteps& steps_;
  bool& failed_;
};

}  // namespace

std::optional<CallerIdentity> identify_through_pipe(CallerTokenSteps& steps) {
  bool token_open = false;
  bool revert_failed = false;
  {
    RevertOnExit revert(steps, revert_failed);
    token_open = steps.impersonate_client() && steps.open_thread_token();
  }
  if (!token_open || revert_failed) return std::nullopt;
  std::optional<TokenFacts> facts = steps.read_token();
  if (!facts) return std::nullopt;
  return CallerIdentity{facts->sid, caller_is_elevated(facts->sid, facts->elevation)};
}

}  // namespace velk
