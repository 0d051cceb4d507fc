#include "install/file_security.h"

#include <algorithm>

namespace velk {
namespace {

bool trusted_sid(std::string_view sid, const std::optional<std::string>& emulated_owner) {
  if (emulated_owner && sid == *emulated_owner) return true;
  return sid == kLocalSystemSid || sid == kAdministratorsSid || sid == kTrustedInstallerSid;
}

}  // namespace

std::optional<std::string> why_others_can_change(const FileSecurity& security,
                                                 const std::optional<std::string>& emulated_owner) {
  if (!trusted_sid(security.owner, emulated_owner)) return "it is owned by " + security.owner;
  if (!security.has_dacl) return "it has no access list, so everyone may change it";
  for (const AccessRule& rule : security.rules) {
    if (rule.kind == AccessRule::Kind::deny || trusted_sid(rule.sid, emulated_owner)) continue;
    // Only the creator of something made inside gets what CREATOR OWNER is
    // granted there, and nobody else can make anything inside.
    if (rule.sid == kCreatorOwnerSid && rule.inherit_only) continue;
    if (rule.kind == AccessRule::Kind::other || (rule.mask & file_right::kChanging) != 0) {
      return rule.sid + " may write, add or delete files in it";
    }
  }
  return std::nullopt;
}

bool is_private(const FileSecurity& security, const std::optional<std::string>& emulated_owner) {
  if (!trusted_sid(security.owner, emulated_owner)) return false;
  if (emulated_owner) return true;  // the list is made up from the file's mode, never private
  return security.has_dacl && std::all_of(security.rules.begin(), security.rules.end(), [](const AccessRule& rule) {
           return rule.kind == AccessRule::Kind::deny || trusted_sid(rule.sid, std::nullopt);
         });
}

}  // namespace velk
