#pragma once
// The state directory (%ProgramData%\VELK VPN): every mode that reads or writes
// it (the service, --arm-from-state, --recover, the installer) opens it once
// with open_state_dir and reaches its files only through the directory held
// open, never through a path resolved again later.
//
// ProgramData lets every user create folders and files there, so the helper
// trusts only a directory nobody else can ever have held a handle to or
// created anything in: one it has just created with its protected descriptor
// in one call (it then leaves a marker inside that only such a creation
// writes), or a real directory owned by LocalSystem or Administrators that
// carries exactly that descriptor and holds that marker. Access is checked
// only when a handle is opened, so a directory without the marker (one an
// earlier release made, or secured in place while a user may still hold a
// handle with WRITE_DAC from before) is never trusted in place, whatever its
// descriptor and entries. Anything but a trusted directory at the default
// path (such a directory, one someone else made, a file, a link, something
// unreadable) is renamed aside at once under a unique name and a fresh
// directory is made; from a real directory moved aside, only a
// killswitch.json that is a regular file with one link, owned by LocalSystem
// or Administrators and accepted by the kill switch's strict reader (all
// judged on the one handle it is read through), is carried into the fresh one.
// What was moved aside is deleted later, by the service once it runs
// (clean_out_moved_aside), so no mode waits on a tree someone planted. When
// the path cannot be made ours (it cannot be moved aside, or keeps changing),
// the mode goes on without a state directory: nothing can be armed, nothing
// is read from it.
//
// A directory named with --state-dir is the caller's: a missing one is
// created like the default one, an existing one is used as it stands (with a
// warning when it is not ours), and anything else there is left alone.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ipc/caller_identity.h"  // kLocalSystemSid
#include "platform/state_files.h"

namespace velk {

inline constexpr std::string_view kAdministratorsSid = "S-1-5-32-544";

// One entry of the directory's access list. Anything but a plain
// access-allowed entry is read back with `sid` "?" so it matches nothing.
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
  bool reparse_point = false;           // a junction, a symbolic link or another reparse point
  std::optional<DirSecurity> security;  // absent when it cannot be read
};

// What stands at a name inside a directory, seen without following a link.
struct EntryInfo {
  EntryKind kind = EntryKind::missing;
  bool reparse_point = false;
  std::optional<std::string> owner;  // absent when it cannot be read
  std::uint32_t links = 0;           // names the file has on its volume
};

// The marker a fresh creation of the state directory leaves inside it.
inline constexpr std::string_view kFreshDirMarker = "fresh-directory.marker";
// A file read through one handle, with what that same handle shows of it.
struct ReadEntry {
  EntryInfo info;
  std::string bytes;
};

// A directory held open for the life of its owner: it cannot be deleted,
// renamed or replaced meanwhile, and its files are opened relative to it.
class HeldDir : public StateFiles {
 public:
  // What the held handle itself shows.
  virtual PathInfo info() = 0;
  // What stands at `name` inside, opened relative to the held handle.
  virtual EntryInfo entry(std::string_view name) = 0;
  // The regular file `name` (never through a link) read whole through one
  // handle, denying writers meanwhile; absent when it cannot be opened or
  // read, or holds more than `max_bytes`.
  virtual std::optional<ReadEntry> read_entry(std::string_view name, std::size_t max_bytes) = 0;
  // The names inside, for a report; absent when they cannot be listed or
  // there are more than `limit`. Nothing is trusted by them.
  virtual std::optional<std::vector<std::string>> names(std::size_t /*limit*/) { return std::nullopt; }

  bool helpers_own() const override { return own_; }
  // Set by open_state_dir on the default directory it found or made trusted.
  void set_helpers_own() { own_ = true; }

 private:
  bool own_ = false;
};

// The platform side (state_dir_win32.cpp, state_dir_posix.cpp; fakes in tests).
class StateDirSystem {
 public:
  virtual ~StateDirSystem() = default;
  virtual PathInfo inspect(const std::filesystem::path& path) = 0;
  // Creates the missing parents of `dir` with their default security.
  virtual bool create_parents(const std::filesystem::path& dir) = 0;
  // Creates `dir` with `security` in one call; false also when the name exists.
  virtual bool create_directory(const std::filesystem::path& dir, const DirSecurity& security) = 0;
  // Opens what stands at `path` itself (never a link's target) and holds it
  // without delete sharing; null when it cannot be opened.
  virtual std::unique_ptr<HeldDir> open_held(const std::filesystem::path& path) = 0;
  // Renames what stands at `path` itself to `aside` (a name in the same
  // parent); false when it cannot, for instance because someone holds it open
  // without delete sharing.
  virtual bool move_aside(const std::filesystem::path& path, const std::filesystem::path& aside) = 0;
  // Deletes `aside` and everything inside, entry by entry, each opened
  // relative to its directory: never following a link, never with backup
  // intent (what this process may not delete stays), never touching a file
  // that has more than one link (it stays, with its attributes). Best effort;
  // it can take long on a large tree.
  virtual void delete_tree(const std::filesystem::path& aside) = 0;
  // The names directly inside the directory `dir` (empty when it cannot be listed).
  virtual std::vector<std::string> names_in(const std::filesystem::path& dir) = 0;
  // 16 random hexadecimal digits; empty when no random bytes can be had.
  virtual std::string random_hex() = 0;
  // Where the file system keeps no security descriptors (Wine, a POSIX test
  // build): the account this process runs as, which then stands for the
  // trusted owners. Absent on Windows.
  virtual std::optional<std::string> emulated_owner() = 0;
};

// Whether the helper trusts what `info` shows: a real directory owned by
// LocalSystem or Administrators with exactly the state directory's descriptor
// (where descriptors are emulated: owned by `emulated_owner`).
bool is_our_state_dir(const PathInfo& info, const std::optional<std::string>& emulated_owner);

// Whether an entry of a directory that is not known to be fresh may stay: a
// regular file with one link, owned by LocalSystem or Administrators (where
// descriptors are emulated: by `emulated_owner`).
bool is_trusted_entry(const EntryInfo& entry, const std::optional<std::string>& emulated_owner);

// The name a tree at `dir` is moved aside to, with `suffix` 16 hexadecimal digits.
std::filesystem::path aside_path(const std::filesystem::path& dir, std::string_view suffix);
// Whether `name` (in the parent of `dir`) is one that aside_path gives.
bool is_aside_name(const std::filesystem::path& dir, std::string_view name);

enum class StateDirUse {
  default_dir,  // the default path: what is not ours is moved aside and replaced
  given_dir,    // --state-dir: a missing directory is created, an existing one used as it stands
  look_only,    // --upgrade-inspect: nothing is created, moved or secured; only ours is written to
};

struct OpenedStateDir {
  // Never null: the held directory, or no_state_files() when there is none.
  std::shared_ptr<StateFiles> files;
  bool failed = false;  // the path could not be made ours: the mode fails closed
  std::string message;  // a warning or the failure, for standard error; empty when none
};

OpenedStateDir open_state_dir(const std::filesystem::path& dir, StateDirUse use, StateDirSystem& system);

// Deletes every tree moved aside beside the default state directory `dir`
// (by this run or an earlier one). Long on a large tree: the service runs it
// on a thread of its own once it reports running.
void clean_out_moved_aside(const std::filesystem::path& dir, StateDirSystem& system);

// This platform's file system.
std::unique_ptr<StateDirSystem> make_state_dir_system();

// The same on this platform's file system.
void clean_out_moved_aside(const std::filesystem::path& dir);

// The same on this platform's file system.
OpenedStateDir open_state_dir(const std::filesystem::path& dir, StateDirUse use);

// 16 hexadecimal digits from the system's random generator; empty when it fails.
std::string system_random_hex();

// default_dir without --state-dir, given_dir with it.
StateDirUse state_dir_use(bool given);

}  // namespace velk
