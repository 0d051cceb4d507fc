#include "platform/state_dir.h"

#include "ipc/error_codes.h"

namespace velk {
namespace {

// Someone re-creating the name between two looks gets a few rounds, not a loop.
constexpr int kPrepareRounds = 4;

std::string sddl_sid(const std::string& sid) {
  if (sid == kLocalSystemSid) return "SY";
  if (sid == kAdministratorsSid) return "BA";
  return sid;
}

Outcome finish_securing(const std::filesystem::path& dir, StateDirSystem& system, bool keep_ours,
                        const std::optional<std::string>& own) {
  if (!system.secure_directory(dir, state_dir_security())) return fail(err::killswitch_failed);
  auto entries = system.list(dir);
  if (!entries) return fail(err::killswitch_failed);
  bool ok = true;
  for (const DirEntry& entry : *entries) {
    const bool keep = keep_ours && !entry.info.reparse_point && is_trusted_owner(entry.info.owner, own);
    ok = (keep ? system.inherit_security(entry.path) : system.remove(entry.path, entry.info)) && ok;
  }
  if (!ok) return fail(err::killswitch_failed);
  return {};
}

}  // namespace

DirSecurity state_dir_security() {
  DirSecurity security;
  security.owner = std::string(kAdministratorsSid);
  security.protected_dacl = true;
  for (std::string_view sid : {kLocalSystemSid, kAdministratorsSid}) {
    security.entries.push_back(AccessEntry{std::string(sid), true, true, true});
  }
  return security;
}

std::string to_sddl(const DirSecurity& security) {
  std::string text = "O:" + sddl_sid(security.owner) + "D:";
  if (security.protected_dacl) text += "P";
  for (const AccessEntry& entry : security.entries) {
    std::string flags;
    if (entry.object_inherit) flags += "OI";
    if (entry.container_inherit) flags += "CI";
    text += "(A;" + flags + ";" + (entry.full_control ? "FA" : "") + ";;;" + sddl_sid(entry.sid) + ")";
  }
  return text;
}

bool is_trusted_owner(const std::optional<std::string>& owner, const std::optional<std::string>& own_account) {
  if (!owner) return false;
  return *owner == kLocalSystemSid || *owner == kAdministratorsSid || (own_account && *owner == *own_account);
}

StateDirPlan plan_state_dir(const PathInfo& found, const std::optional<std::string>& own_account) {
  if (found.kind == EntryKind::missing) return StateDirPlan::create;
  if (found.reparse_point || found.kind != EntryKind::directory) return StateDirPlan::remove_first;
  return is_trusted_owner(found.owner, own_account) ? StateDirPlan::secure_and_keep : StateDirPlan::take_over;
}

Outcome prepare_state_dir(const std::filesystem::path& dir, StateDirSystem& system) {
  const std::optional<std::string> own = system.own_account();
  for (int round = 0; round < kPrepareRounds; ++round) {
    const PathInfo found = system.inspect(dir);
    switch (plan_state_dir(found, own)) {
      case StateDirPlan::create:
        if (!system.create_parents(dir)) return fail(err::killswitch_failed);
        if (system.create_directory(dir, state_dir_security())) return {};
        break;  // the name appeared meanwhile: look again
      case StateDirPlan::remove_first:
        if (found.kind == EntryKind::unknown || !system.remove(dir, found)) return fail(err::killswitch_failed);
        break;
      case StateDirPlan::secure_and_keep:
        return finish_securing(dir, system, true, own);
      case StateDirPlan::take_over:
        return finish_securing(dir, system, false, own);
    }
  }
  return fail(err::killswitch_failed);
}

Outcome prepare_state_dir(const std::filesystem::path& dir) {
  std::unique_ptr<StateDirSystem> system = make_state_dir_system();
  return prepare_state_dir(dir, *system);
}

}  // namespace velk
