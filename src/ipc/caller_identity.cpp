#include "ipc/caller_identity.h"

namespace velk {

bool caller_is_elevated(std::string_view sid, std::optional<std::uint32_t> token_elevation) {
  if (token_elevation && *token_elevation != 0) return true;
  return sid == kLocalSystemSid;
}

}  // namespace velk
