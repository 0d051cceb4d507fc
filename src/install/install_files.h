#pragma once
// The file operations of the installer on the install directory, as one
// interface so that a fake can fail any of them. Errors carry the Win32 code
// (the retry rules look at 2, 5, 32 and 33); what the log says about one is a
// fixed text chosen from the code (file_error_text), never the number.

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "install/file_security.h"

namespace velk {

namespace win32_error {
inline constexpr std::uint32_t kFileNotFound = 2;
inline constexpr std::uint32_t kPathNotFound = 3;
inline constexpr std::uint32_t kAccessDenied = 5;
inline constexpr std::uint32_t kSharingViolation = 32;
inline constexpr std::uint32_t kLockViolation = 33;
inline constexpr std::uint32_t kAlreadyExists = 183;
}  // namespace win32_error

struct FileError {
  std::uint32_t code = 0;  // 0: success
  explicit operator bool() const { return code != 0; }
};

// A file read through one handle, with what that handle shows of it.
struct SecuredFile {
  std::string bytes;
  std::uint32_t links = 0;  // names the file has on its volume
  std::optional<FileSecurity> security;
};

// When a rename reaches the disk. Name changes (renames, deletions, new
// directories) go to the volume's ordered metadata journal; a power cut loses
// what was not written out yet. `write_through` returns once the rename is on
// disk, with every name change made before it; `cached` leaves it to the system.
enum class RenameSync { cached, write_through };

class InstallFiles {
 public:
  virtual ~InstallFiles() = default;
  // Renames `from` to `to`, replacing an existing `to`.
  virtual FileError rename(const std::filesystem::path& from, const std::filesystem::path& to,
                           RenameSync sync) = 0;
  // Its metadata can be read.
  virtual bool exists(const std::filesystem::path& path) = 0;
  // The names in `dir`; none when it cannot be listed.
  virtual std::optional<std::vector<std::string>> list(const std::filesystem::path& dir) = 0;
  // Creates the directory `dir` in an existing parent with a protected access
  // list of its own, inherited by what is made inside, that grants SYSTEM and
  // Administrators full control and nobody else anything. A directory
  // already there is fine (its list is left as it is); anything else there
  // is an error (kAlreadyExists).
  virtual FileError create_private_directory(const std::filesystem::path& dir) = 0;
  // Opens an existing file for writing with no sharing and closes it again.
  virtual FileError open_exclusive(const std::filesystem::path& path) = 0;
  // Deletes a file, read-only or not.
  virtual bool remove_file(const std::filesystem::path& path) = 0;
  // Removes an empty directory.
  virtual bool remove_directory(const std::filesystem::path& dir) = 0;
  // Has the file, or the directory once empty, deleted at the next restart
  // (for what someone holds open now); false when that cannot be arranged.
  virtual bool delete_at_restart(const std::filesystem::path& path) = 0;

  // The owner and access list of `path`; none when they cannot be read.
  virtual std::optional<FileSecurity> security(const std::filesystem::path& path) = 0;
  // Gives the file `path` a protected access list of its own that grants
  // SYSTEM and Administrators full control and nobody else anything: no user
  // can open it from then on (a handle opened before stays).
  virtual bool make_private(const std::filesystem::path& path) = 0;
  // Gives the file `path` back the entries its directory hands down, and
  // nothing else (a renamed file keeps the list it had: Windows does not
  // work it out again for the new directory).
  virtual bool make_inherited(const std::filesystem::path& path) = 0;
  // Writes `bytes` into a new file made with the private list of
  // make_private, flushes it, and renames it over `file` (written through).
  virtual FileError write_private(const std::filesystem::path& file, std::string_view bytes) = 0;
  // The regular file `file` (never through a link) read whole, at most
  // `max_bytes`, through one handle that denies writers, with what that
  // handle shows; none when it is missing or cannot be read.
  virtual std::optional<SecuredFile> read_secured(const std::filesystem::path& file, std::size_t max_bytes) = 0;
  // Where the file system keeps no descriptors (Wine, a POSIX build): the
  // account this process runs as (see file_security.h). None on Windows.
  virtual std::optional<std::string> emulated_owner() = 0;
};

// The system's files.
std::unique_ptr<InstallFiles> system_install_files();

}  // namespace velk
