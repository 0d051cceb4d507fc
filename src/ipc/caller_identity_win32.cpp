#include "ipc/caller_identity_win32.h"

#include <sddl.h>

#include <cstdint>
#include <cstring>

#include "platform/text.h"
#include "platform/unique_handle_win32.h"

namespace velk {

std::optional<CallerIdentity> identify_caller(HANDLE pipe) {
  ULONG pid = 0;
  if (!GetNamedPipeClientProcessId(pipe, &pid)) return std::nullopt;

  UniqueHandle token;
  {
    UniqueHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
    if (!process) return std::nullopt;
    if (!OpenProcessToken(process.get(), TOKEN_QUERY, token.put())) return std::nullopt;
  }  // the process handle is not needed past this point

  alignas(TOKEN_USER) unsigned char user_buffer[512];
  std::memset(user_buffer, 0, sizeof user_buffer);
  DWORD returned = 0;
  if (!GetTokenInformation(token.get(), TokenUser, user_buffer, sizeof user_buffer, &returned)) {
    return std::nullopt;
  }
  const auto* user = reinterpret_cast<const TOKEN_USER*>(user_buffer);

  CallerIdentity identity;
  {
    UniqueLocal<LPWSTR> text;
    if (!ConvertSidToStringSidW(user->User.Sid, text.put()) || text.get() == nullptr) return std::nullopt;
    identity.sid = utf8_from_utf16(reinterpret_cast<const char16_t*>(text.get()));
  }

  TOKEN_ELEVATION elevation{};
  std::optional<std::uint32_t> elevation_value;
  if (GetTokenInformation(token.get(), TokenElevation, &elevation, sizeof elevation, &returned)) {
    elevation_value = elevation.TokenIsElevated;
  }
  identity.elevated = caller_is_elevated(identity.sid, elevation_value);
  return identity;
}

}  // namespace velk
