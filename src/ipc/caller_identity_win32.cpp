#include "ipc/caller_identity_win32.h"

#include <sddl.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "platform/text.h"
#include "platform/unique_handle_win32.h"

namespace velk {
namespace {

class PipeTokenSteps final : public CallerTokenSteps {
 public:
  explicit PipeTokenSteps(HANDLE pipe) : pipe_(pipe) {}

  bool impersonate_client() override { return ImpersonateNamedPipeClient(pipe_) != FALSE; }
  // Opened as the service itself: an identification-level thread token
  // cannot be opened as the client.
  bool open_thread_token() override {
    return OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, token_.put()) != FALSE;
  }
  bool revert_to_self() override { return RevertToSelf() != FALSE; }
  void stop_process() override { std::abort(); }

  std::optional<TokenFacts> read_token() override {
    alignas(TOKEN_USER) unsigned char user_buffer[512];
    std::memset(user_buffer, 0, sizeof user_buffer);
    DWORD returned = 0;
    if (!GetTokenInformation(token_.get(), TokenUser, user_buffer, sizeof user_buffer, &returned)) {
      return std::nullopt;
    }
    const auto* user = reinterpret_cast<const TOKEN_USER*>(user_buffer);
    TokenFacts facts;
    {
      UniqueLocal<LPWSTR> text;
      if (!ConvertSidToStringSidW(user->User.Sid, text.put()) || text.get() == nullptr) return std::nullopt;
      facts.sid = utf8_from_utf16(reinterpret_cast<const char16_t*>(text.get()));
    }
    TOKEN_ELEVATION elevation{};
    if (GetTokenInformation(token_.get(), TokenElevation, &elevation, sizeof elevation, &returned)) {
      facts.elevation = elevation.TokenIsElevated;
    }
    return facts;
  }

 private:
  HANDLE pipe_;
  UniqueHandle token_;
};

}  // namespace

std::optional<CallerIdentity> identify_caller(HANDLE pipe) {
  PipeTokenSteps steps(pipe);
  return identify_through_pipe(steps);
}

}  // namespace velk
