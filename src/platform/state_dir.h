#pragma once
// The state directory (%ProgramData%\VELK VPN): every mode that reads or writes
// it (the service, --arm-from-state, --recover, the installer's log) calls
// prepare_state_dir first.
//
// ProgramData lets every user create folders and files and read what others
// left there, so the directory is made ours before anything in it is trusted:
// a real directory (a link at the path is removed, never followed), owned by
// Administrators, with a protected access list granting full control to
// LocalSystem and Administrators only, inherited by everything inside.
//
// A directory someone else made (owned by anyone but LocalSystem,
// Administrators or the helper's own account) is taken over in place and
// emptied: its content was planted. Taking it over rather than deleting and
// re-creating it leaves no moment in which a user could create the name again.
// In a directory of ours, entries owned by someone else and links are removed
// (they date from before it was secured); the rest is kept and set to inherit
// the directory's access list.

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ipc/caller_identity.h"  // kLocalSystemSid
#include "platform/result.h"

namespace velk {

inline constexpr std::string_view kAdministratorsSid = "S-1-5-32-544";

// One access-allowed entry of the directory's access list.
struct AccessEntry {
  std::string sid;
  bool full_control = false;
  bool container_inherit = false;  // inherited by subdirectories
  bool object_inherit = false;     // inherited by files

  bool operator==(const AccessEntry&) const = default;
};

// What the directory's security descriptor holds.
struct DirSecurity {
  std::string owner;
  bool protected_dacl = false;  // nothing inherited from ProgramData
  std::vector<AccessEntry> entries;

  bool operator==(const DirSecurity&) const = default;
};

// The state directory's descriptor.
DirSecurity state_dir_security();
// The descriptor in SDDL (the form Windows converts into a descriptor).
std::string to_sddl(const DirSecurity& security);

enum class EntryKind { missing, directory, file, other, unknown };

// What stands at a path, seen without following a link there.
struct PathInfo {
  EntryKind kind = EntryKind::missing;
  bool reparse_point = false;        // a junction, a symbolic link or another reparse point
  std::optional<std::string> owner;  // string SID; absent when it cannot be read
};

struct DirEntry {
  std::filesystem::path path;
  PathInfo info;
};

// The platform side (state_dir_win32.cpp, state_dir_posix.cpp; fakes in tests).
class StateDirSystem {
 public:
  virtual ~StateDirSystem() = default;
  virtual PathInfo inspect(const std::filesystem::path& path) = 0;
  // The entries directly inside `dir`; absent when it cannot be listed.
  virtual std::optional<std::vector<DirEntry>> list(const std::filesystem::path& dir) = 0;
  // Creates the missing parents of `dir` with their default security.
  virtual bool create_parents(const std::filesystem::path& dir) = 0;
  // Creates `dir` with `security` in one step; false also when the name exists.
  virtual bool create_directory(const std::filesystem::path& dir, const DirSecurity& security) = 0;
  // Sets owner and access list of `dir`, checking on the opened directory
  // itself that it is still a directory and no reparse point.
  virtual bool secure_directory(const std::filesystem::path& dir, const DirSecurity& security) = 0;
  // Gives an entry kept inside the directory the access list it inherits.
  virtual bool inherit_security(const std::filesystem::path& path) = 0;
  // Removes what `info` describes: a reparse point itself (never its target),
  // a file, or a directory with everything inside (links inside removed as links).
  virtual bool remove(const std::filesystem::path& path, const PathInfo& info) = 0;
  // The string SID of the account this process runs as; absent when unknown.
  virtual std::optional<std::string> own_account() = 0;
};

// What prepare_state_dir does with what it finds at the path.
enum class StateDirPlan {
  create,          // nothing there: create it with its security
  remove_first,    // a link or anything but a directory: remove it, then look again
  secure_and_keep, // our directory: secure it, keep what ours inside
  take_over,       // a directory someone else made: secure it and empty it
};

StateDirPlan plan_state_dir(const PathInfo& found, const std::optional<std::string>& own_account);

// An owner whose entries the helper trusts: LocalSystem, Administrators or
// the helper's own account.
bool is_trusted_owner(const std::optional<std::string>& owner, const std::optional<std::string>& own_account);

Outcome prepare_state_dir(const std::filesystem::path& dir, StateDirSystem& system);

// This platform's file system.
std::unique_ptr<StateDirSystem> make_state_dir_system();

// The same on this platform's file system. Error: "killswitch_failed".
Outcome prepare_state_dir(const std::filesystem::path& dir);

}  // namespace velk
