#include "ipc/caller_identity_win32.h"

#include <windows.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>

#include "platform/file_security_win32.h"
#include "platform/unique_handle_win32.h"

namespace velk {
namespace {

std::uint64_t as_number(const FILETIME& time) {
  return (static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

std::optional<TokenFacts> facts_of(HANDLE token) {
  alignas(TOKEN_USER) unsigned char user_buffer[512];
  std::memset(user_buffer, 0, sizeof user_buffer);
  DWORD returned = 0;
  if (!GetTokenInformation(token, TokenUser, user_buffer, sizeof user_buffer, &returned)) return std::nullopt;
  const auto* user = reinterpret_cast<const TOKEN_USER*>(user_buffer);
  TokenFacts facts;
  std::optional<std::string> sid = sid_string(user->User.Sid);
  if (!sid) return std::nullopt;
  facts.sid = std::move(*sid);
  TOKEN_ELEVATION elevation{};
  if (GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &returned)) {
    facts.elevation = elevation.TokenIsElevated;
  }
  return facts;
}

class PipeTokenSteps final : public CallerTokenSteps {
 public:
  PipeTokenSteps(HANDLE pipe, std::uint64_t connected_at) : pipe_(pipe), connected_at_(connected_at) {}

  Impersonation impersonate_client() override {
    if (ImpersonateNamedPipeClient(pipe_)) return Impersonation::done;
    return GetLastError() == ERROR_CANNOT_IMPERSONATE ? Impersonation::no_context : Impersonation::failed;
  }
  // Opened as the service itself: an identification-level thread token
  // cannot be opened as the client.
  bool open_thread_token() override {
    return OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, token_.put()) != FALSE;
  }
  bool revert_to_self() override { return RevertToSelf() != FALSE; }
  void stop_process() override { std::abort(); }
  std::optional<TokenFacts> read_token() override { return facts_of(token_.get()); }

  std::optional<TokenFacts> read_client_process_token() override {
    ULONG pid = 0;
    if (!GetNamedPipeClientProcessId(pipe_, &pid)) return std::nullopt;
    UniqueHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
    if (!process) return std::nullopt;
    // A process started after the client connected reuses the id of one that has gone.
    FILETIME created{}, exited{}, kernel{}, user{};
    if (!GetProcessTimes(process.get(), &created, &exited, &kernel, &user) || as_number(created) > connected_at_) {
      return std::nullopt;
    }
    UniqueHandle token;
    if (!OpenProcessToken(process.get(), TOKEN_QUERY, token.put())) return std::nullopt;
    return facts_of(token.get());
  }

 private:
  HANDLE pipe_;
  std::uint64_t connected_at_;
  UniqueHandle token_;
};

}  // namespace

std::uint64_t system_time_now() {
  FILETIME now{};
  GetSystemTimeAsFileTime(&now);
  return as_number(now);
}

std::optional<CallerIdentity> identify_caller(HANDLE pipe, std::uint64_t connected_at) {
  PipeTokenSteps steps(pipe, connected_at);
  return identify_through_pipe(steps);
}

std::optional<CallerIdentity> identify_client_process(HANDLE pipe, std::uint64_t connected_at) {
  PipeTokenSteps steps(pipe, connected_at);
  return velk::identify_client_process(steps);
}

}  // namespace velk
