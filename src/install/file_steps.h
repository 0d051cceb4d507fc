#pragma once
// The file operations of an install and a removal, with their retry rules:
// renames that wait out sharing and access failures, the in-use test, putting
// saved files back, and the clean-up after a confirmed install. Names are
// UTF-8 (as the manifest and the listings give them).
//
// Whether a .update-old holds the saved files of an unfinished swap is told
// by the swap's mark only (swap_mark.h): without it, it is trash. Trash is
// renamed to a fresh .update-trash-N (or, when .update-old cannot be renamed,
// its files are moved into one) and deleted from there; what cannot be
// deleted is deleted at the next restart, and tried again by the next
// confirmed install. Deletions at the next restart are only ever scheduled
// under a .update-trash-N, never under a name a later swap uses again.
//
// Files moved into .update-old or .update-new get an access list of SYSTEM
// and Administrators only (no user can open them, so none can hold one to
// keep it from moving back); a file moved back into the install directory
// gets what the directory hands down again.

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "install/install_files.h"
#include "platform/clock.h"

namespace velk {

inline constexpr std::string_view kStageDirName = ".update-new";
inline constexpr std::string_view kSavedDirName = ".update-old";
inline constexpr std::string_view kTrashDirPrefix = ".update-trash-";

// What the log says about a failed file operation: a fixed text by kind.
std::string file_error_text(const FileError& e);

// Renames, replacing the target; retries access denied, sharing and lock
// violations every 250 ms, 40 attempts in all. The last attempt's outcome.
FileError rename_with_retries(InstallFiles& files, Clock& clock, const std::filesystem::path& from,
                              const std::filesystem::path& to, RenameSync sync = RenameSync::write_through);

// Moves `dir`/`name` into the saved directory with rename_with_retries when
// it exists, and makes it private there; only "file not found" counts as
// nothing to move (a missing directory on either side is an error). The
// rename itself is the test, so a failed existence check can never let a
// staged file replace an old one that was not saved.
FileError save_old_file(InstallFiles& files, Clock& clock, const std::filesystem::path& dir,
                        const std::filesystem::path& name);

// Up to ten passes over `names` in `dir`, each ending at the first file that
// cannot be opened exclusively for a sharing or lock violation; before each
// pass but the first, `before_retry` runs (it ends the desktop application)
// and one second passes. The busy name of the tenth pass, or none.
std::optional<std::string> find_busy_file(InstallFiles& files, Clock& clock, const std::filesystem::path& dir,
                                          const std::vector<std::string>& names,
                                          const std::function<void()>& before_retry);

// Moves every file of the saved directory back into `dir` (names in listing
// order), each with its inherited access list again; each failure is
// reported through `on_failure`. False when the saved directory cannot be
// listed.
bool restore_saved_files(InstallFiles& files, Clock& clock, const std::filesystem::path& dir,
                         const std::function<void(const std::string& name, const FileError&)>& on_failure);

// Moves the files of `names` that an install had put in place back into the
// stage (last first), private there: those missing from the stage but
// present in `dir`. Failures are ignored.
void return_new_files_to_stage(InstallFiles& files, Clock& clock, const std::filesystem::path& dir,
                               const std::vector<std::string>& names);

// return_new_files_to_stage for `moved`, then the saved files back into
// `dir`; false when a saved file could not be moved back.
bool roll_back_files(InstallFiles& files, Clock& clock, const std::filesystem::path& dir,
                     const std::vector<std::string>& moved);

// True when the saved directory is missing or empty.
bool saved_dir_is_empty(InstallFiles& files, const std::filesystem::path& dir);

// Deletes the trash of earlier installs, moves the saved directory to a new
// trash directory (or its files into one, when it cannot be moved) and
// deletes that (read-only files included); what cannot be deleted there is
// left to the next restart. True when no saved file is left in the saved
// directory.
bool discard_saved_files(InstallFiles& files, Clock& clock, const std::filesystem::path& dir);

// discard_saved_files, then the stage's manifest moves into `dir` (replacing
// the one of the previous version; deleted when it cannot be moved) and the
// stage goes.
void finish_install(InstallFiles& files, Clock& clock, const std::filesystem::path& dir);

}  // namespace velk
