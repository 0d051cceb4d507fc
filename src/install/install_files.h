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
#include <vector>

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
  // Creates `dir` and its missing parents; something at `dir` that is not a
  // directory is an error (kAlreadyExists).
  virtual FileError create_directories(const std::filesystem::path& dir) = 0;
  // Opens an existing file for writing with no sharing and closes it again.
  virtual FileError open_exclusive(const std::filesystem::path& path) = 0;
  // Deletes a file, read-only or not.
  virtual bool remove_file(const std::filesystem::path& path) = 0;
  // Removes an empty directory.
  virtual bool remove_directory(const std::filesystem::path& dir) = 0;
  // Has the file, or the directory once empty, deleted at the next restart
  // (for what someone holds open now); false when that cannot be arranged.
  virtual bool delete_at_restart(const std::filesystem::path& path) = 0;
};

// The system's files.
std::unique_ptr<InstallFiles> system_install_files();

}  // namespace velk
