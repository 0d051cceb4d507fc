#include "install/file_steps.h"

#include <chrono>

#include "install/manifest.h"
#include "platform/text.h"

namespace velk {
namespace {

using namespace std::chrono_literals;

constexpr int kRenameAttempts = 40;
constexpr int kBusyPasses = 10;
constexpr int kDeleteAttempts = 20;
constexpr int kTrashNames = 1000;
constexpr auto kRetryStep = 250ms;
constexpr auto kBusyPause = 1s;

bool worth_retrying(std::uint32_t code) {
  return code == win32_error::kAccessDenied || code == win32_error::kSharingViolation ||
         code == win32_error::kLockViolation;
}

std::filesystem::path under(const std::filesystem::path& dir, const std::string& name) {
  return dir / path_from_utf8(name);
}

bool remove_file_with_retries(InstallFiles& files, Clock& clock, const std::filesystem::path& file) {
  for (int attempt = 1; attempt <= kDeleteAttempts; ++attempt) {
    if (files.remove_file(file)) return true;
    if (attempt < kDeleteAttempts) clock.sleep_for(kRetryStep);
  }
  return false;
}

// A trash directory once emptied, or a file that stood in for one.
void remove_or_leave_to_restart(InstallFiles& files, const std::filesystem::path& trash) {
  if (files.remove_directory(trash) || files.remove_file(trash) || !files.exists(trash)) return;
  (void)files.delete_at_restart(trash);
}

// Trash of an earlier install: one attempt per file, nothing waits for it;
// what stays is deleted at the next restart.
void delete_trash(InstallFiles& files, const std::filesystem::path& trash) {
  if (std::optional<std::vector<std::string>> entries = files.list(trash)) {
    for (const std::string& entry : *entries) {
      const std::filesystem::path file = under(trash, entry);
      if (!files.remove_file(file)) (void)files.delete_at_restart(file);
    }
  }
  remove_or_leave_to_restart(files, trash);
}

// The saved directory cannot be renamed (someone holds it open): its files
// go into a trash directory of their own instead. False when that directory
// cannot be made.
bool move_files_into(InstallFiles& files, Clock& clock, const std::filesystem::path& saved,
                     const std::filesystem::path& trash) {
  if (files.create_private_directory(trash)) return false;
  if (std::optional<std::vector<std::string>> entries = files.list(saved)) {
    for (const std::string& entry : *entries) {
      (void)rename_with_retries(files, clock, under(saved, entry), under(trash, entry), RenameSync::cached);
    }
  }
  (void)files.remove_directory(saved);
  return true;
}

// A trash directory of this install: every file gets its attempts.
void delete_doomed(InstallFiles& files, Clock& clock, const std::filesystem::path& doomed) {
  if (std::optional<std::vector<std::string>> entries = files.list(doomed)) {
    for (const std::string& entry : *entries) {
      const std::filesystem::path file = under(doomed, entry);
      if (!remove_file_with_retries(files, clock, file)) (void)files.delete_at_restart(file);
    }
  }
  remove_or_leave_to_restart(files, doomed);
}

}  // namespace

std::string file_error_text(const FileError& e) {
  switch (e.code) {
    case win32_error::kFileNotFound:
      return "file not found";
    case win32_error::kPathNotFound:
      return "path not found";
    case win32_error::kAccessDenied:
      return "access denied";
    case win32_error::kSharingViolation:
    case win32_error::kLockViolation:
      return "the file is in use";
    case win32_error::kAlreadyExists:
      return "something else is in the way";
    case 39:   // ERROR_HANDLE_DISK_FULL
    case 112:  // ERROR_DISK_FULL
      return "the disk is full";
    default:
      return "the file operation failed";
  }
}

FileError save_old_file(InstallFiles& files, Clock& clock, const std::filesystem::path& dir,
                        const std::filesystem::path& name) {
  const std::filesystem::path saved = dir / kSavedDirName / name;
  const FileError e = rename_with_retries(files, clock, dir / name, saved);
  if (e.code == win32_error::kFileNotFound) return {};
  if (!e) (void)files.make_private(saved);
  return e;
}

FileError rename_with_retries(InstallFiles& files, Clock& clock, const std::filesystem::path& from,
                              const std::filesystem::path& to, RenameSync sync) {
  FileError result;
  for (int attempt = 1;; ++attempt) {
    result = files.rename(from, to, sync);
    if (!result || !worth_retrying(result.code) || attempt == kRenameAttempts) return result;
    clock.sleep_for(kRetryStep);
  }
}

std::optional<std::string> find_busy_file(InstallFiles& files, Clock& clock, const std::filesystem::path& dir,
                                          const std::vector<std::string>& names,
                                          const std::function<void()>& before_retry) {
  std::optional<std::string> busy;
  for (int pass = 0; pass < kBusyPasses; ++pass) {
    if (pass > 0) {
      before_retry();
      clock.sleep_for(kBusyPause);
    }
    busy.reset();
    for (const std::string& name : names) {
      const FileError opened = files.open_exclusive(under(dir, name));
      if (opened.code == win32_error::kSharingViolation || opened.code == win32_error::kLockViolation) {
        busy = name;
        break;
      }
    }
    if (!busy) return std::nullopt;
  }
  return busy;
}

bool restore_saved_files(InstallFiles& files, Clock& clock, const std::filesystem::path& dir,
                         const std::function<void(const std::string& name, const FileError&)>& on_failure) {
  const std::filesystem::path saved = dir / kSavedDirName;
  std::optional<std::vector<std::string>> entries = files.list(saved);
  if (!entries) return false;
  for (const std::string& entry : *entries) {
    if (FileError e = rename_with_retries(files, clock, under(saved, entry), under(dir, entry))) {
      on_failure(entry, e);
    } else {
      (void)files.make_inherited(under(dir, entry));
    }
  }
  return true;
}

void return_new_files_to_stage(InstallFiles& files, Clock& clock, const std::filesystem::path& dir,
                               const std::vector<std::string>& names) {
  const std::filesystem::path stage = dir / kStageDirName;
  for (auto it = names.rbegin(); it != names.rend(); ++it) {
    const std::filesystem::path installed = under(dir, *it), staged = under(stage, *it);
    if (!files.exists(staged) && files.exists(installed) &&
        !rename_with_retries(files, clock, installed, staged)) {  // the stage stays installable
      (void)files.make_private(staged);
    }
  }
}

bool roll_back_files(InstallFiles& files, Clock& clock, const std::filesystem::path& dir,
                     const std::vector<std::string>& moved) {
  return_new_files_to_stage(files, clock, dir, moved);
  bool ok = true;
  const bool listed = restore_saved_files(files, clock, dir, [&](const std::string&, const FileError&) { ok = false; });
  if (listed) {
    (void)files.remove_directory(dir / kSavedDirName);
    return ok;
  }
  // Saved files that cannot be listed are not back: only a directory that
  // was never made means nothing had to be restored.
  return !files.exists(dir / kSavedDirName);
}

bool saved_dir_is_empty(InstallFiles& files, const std::filesystem::path& dir) {
  const std::filesystem::path saved = dir / kSavedDirName;
  if (!files.exists(saved)) return true;
  std::optional<std::vector<std::string>> entries = files.list(saved);
  return entries && entries->empty();
}

bool discard_saved_files(InstallFiles& files, Clock& clock, const std::filesystem::path& dir) {
  const std::filesystem::path saved = dir / kSavedDirName;
  if (std::optional<std::vector<std::string>> entries = files.list(dir)) {
    for (const std::string& entry : *entries) {
      if (entry.starts_with(kTrashDirPrefix)) delete_trash(files, under(dir, entry));
    }
  }
  // Once renamed, the saved files can never be taken for an unfinished
  // upgrade. The rename need not reach the disk: without the swap's mark a
  // saved directory that comes back is trash all the same.
  std::optional<std::filesystem::path> doomed;
  for (int n = 1; n <= kTrashNames; ++n) {
    const std::filesystem::path trash = under(dir, std::string(kTrashDirPrefix) + std::to_string(n));
    if (files.exists(trash)) continue;
    const FileError e = rename_with_retries(files, clock, saved, trash, RenameSync::cached);
    const bool none = e.code == win32_error::kFileNotFound || e.code == win32_error::kPathNotFound;
    if (!e || (!none && move_files_into(files, clock, saved, trash))) doomed = trash;
    break;
  }
  if (doomed) delete_doomed(files, clock, *doomed);
  return saved_dir_is_empty(files, dir);
}

void finish_install(InstallFiles& files, Clock& clock, const std::filesystem::path& dir) {
  const std::filesystem::path stage = dir / kStageDirName;
  (void)discard_saved_files(files, clock, dir);
  // The manifest stays beside the files it describes, so that they can be
  // checked later (--diagnose); where it cannot be moved it goes as before.
  if (files.rename(stage / kManifestFileName, dir / kManifestFileName, RenameSync::cached)) {
    (void)files.remove_file(stage / kManifestFileName);
  }
  (void)files.remove_directory(stage);
}

}  // namespace velk
