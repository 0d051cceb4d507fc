#pragma once
// The owner and access list of an open file or directory, read once with
// GetSecurityInfo and handed on as plain values, so that each caller judges
// them by its own rules.
#include <windows.h>

#include <optional>
#include <string>
#include <vector>

namespace velk {

// The string form of `sid`; absent when there is none or it cannot be converted.
std::optional<std::string> sid_string(PSID sid);

struct AceView {
  BYTE type = 0;   // ACCESS_ALLOWED_ACE_TYPE, ACCESS_DENIED_ACE_TYPE, ...
  BYTE flags = 0;  // inheritance flags
  ACCESS_MASK mask = 0;
  // The trustee; absent for an entry of another layout than allow/deny or
  // one whose SID cannot be converted.
  std::optional<std::string> sid;
};

struct SecurityView {
  std::optional<std::string> owner;
  bool protected_dacl = false;
  bool has_dacl = false;  // false: no access list at all, so everyone may do anything
  // One per entry of the list, in order; absent where GetAce failed.
  std::vector<std::optional<AceView>> entries;
};

// Absent when the handle (opened with READ_CONTROL) gives no descriptor.
std::optional<SecurityView> read_security(HANDLE h);

}  // namespace velk
