#pragma once
// Who may change or open a file of the installation, judged from its security
// descriptor as read (owner and access list). The helper and the engine run
// as LocalSystem from the install directory, so a directory that anyone but
// SYSTEM, Administrators and TrustedInstaller may write, add files to or
// delete from hands LocalSystem to that someone; and the files the installer
// keeps aside (the saved files, the swap's mark) must be ones no user can
// open, or a user holding one open could stop the installer from taking it
// back or clearing it.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/state_dir.h"  // kLocalSystemSid, kAdministratorsSid

namespace velk {

inline constexpr std::string_view kTrustedInstallerSid =
    "S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";
inline constexpr std::string_view kCreatorOwnerSid = "S-1-3-0";

// The access rights that change a directory or a file (winnt.h values).
namespace file_right {
inline constexpr std::uint32_t kWriteData = 0x0002;      // FILE_WRITE_DATA, FILE_ADD_FILE
inline constexpr std::uint32_t kAppendData = 0x0004;     // FILE_APPEND_DATA, FILE_ADD_SUBDIRECTORY
inline constexpr std::uint32_t kDeleteChild = 0x0040;    // FILE_DELETE_CHILD
inline constexpr std::uint32_t kDelete = 0x00010000;     // DELETE
inline constexpr std::uint32_t kWriteDac = 0x00040000;   // WRITE_DAC
inline constexpr std::uint32_t kWriteOwner = 0x00080000; // WRITE_OWNER
inline constexpr std::uint32_t kGenericAll = 0x10000000;
inline constexpr std::uint32_t kGenericWrite = 0x40000000;
inline constexpr std::uint32_t kChanging =
    kWriteData | kAppendData | kDeleteChild | kDelete | kWriteDac | kWriteOwner | kGenericAll | kGenericWrite;
}  // namespace file_right

// One entry of an access list.
struct AccessRule {
  enum class Kind { allow, deny, other };  // other: any other entry type (object, callback, ...)
  Kind kind = Kind::allow;
  std::string sid;  // "?" when it cannot be read
  std::uint32_t mask = 0;
  bool inherit_only = false;  // applies only to what is made inside

  bool operator==(const AccessRule&) const = default;
};

// The owner and access list of a file or directory.
struct FileSecurity {
  std::string owner;     // "?" when it cannot be read
  bool has_dacl = true;  // false: no access list at all, so everyone may do anything
  std::vector<AccessRule> rules;

  bool operator==(const FileSecurity&) const = default;
};

// Where the file system keeps no descriptors (Wine, a POSIX test build),
// `emulated_owner` is the account this process runs as: it then stands for
// the trusted owners. (Wine makes a list up from the file's mode: SYSTEM and
// the owner full control, everyone read and run, or write when the mode
// lets others write.)

// Why someone other than SYSTEM, Administrators or TrustedInstaller may
// write, add or delete files in the directory `security` describes, or
// change its access list or owner: its owner is someone else, it has no
// access list, or an entry (one that applies to what is made inside
// included; CREATOR OWNER's is judged by what the directory lets others
// create) grants another account one of those rights. None when nobody can.
std::optional<std::string> why_others_can_change(const FileSecurity& security,
                                                 const std::optional<std::string>& emulated_owner);

// Whether only SYSTEM and Administrators (and TrustedInstaller) are in the
// access list at all, and the owner is one of them: no one else can open it.
// Where descriptors are emulated, the owner alone is judged.
bool is_private(const FileSecurity& security, const std::optional<std::string>& emulated_owner);

}  // namespace velk
