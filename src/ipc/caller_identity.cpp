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

// The identity a token names; an anonymous token names nobody.
std::optional<CallerIdentity> identity_of(const std::optional<TokenFacts>& facts) {
  if (!facts || facts->sid.empty() || facts->sid == kAnonymousSid) return std::nullopt;
  return CallerIdentity{facts->sid, caller_is_elevated(facts->sid, facts->elevation)};
}

}  // namespace

std::optional<CallerIdentity> identify_through_pipe(CallerTokenSteps& steps) {
  Impersonation impersonation = Impersonation::failed;
  bool token_open = false;
  bool revert_failed = false;
  {
    RevertOnExit revert(steps, revert_failed);
    impersonation = steps.impersonate_client();
    token_open = impersonation == Impersonation::done && steps.open_thread_token();
  }
  if (revert_failed) return std::nullopt;
  if (token_open) return identity_of(steps.read_token());
  // An anonymous client is impersonated, but its token cannot be opened: it
  // stays refused. Only a client the pipe holds no context for is looked up.
  if (impersonation == Impersonation::no_context) return identity_of(steps.read_client_process_token());
  return std::nullopt;
}

std::optional<CallerIdentity> identify_client_process(CallerTokenSteps& steps) {
  return identity_of(steps.read_client_process_token());
}

}  // namespace velk
