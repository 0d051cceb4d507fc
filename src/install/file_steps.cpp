#include "install/file_steps.h"

#include <chrono>

#include "install/manifest.h"

namespace velk {
namespace {

using namespace std::chrono_literals;

constexpr int kRenameAttempts = 40;
constexpr int kBusyPasses = 10;
constexpr int kDeleteAttempts = 20;
constexpr auto kRetryStep = 250ms;
constexpr auto kBusyPause = 1s;

bool worth_retrying(std::uint32_t code) {
  return code == win32_error::kAccessDenied || code == win32_error::kSharingViolation ||
         code == win32_error::kLockViolation;
}

}  // namespace

FileError move_aside(InstallFiles& files, Clock& clock, const std::filesystem::path& from,
                     const std::filesystem::path& to) {
  FileError e = rename_with_retries(files, clock, from, to);
  if (e.code == win32_error::kFileNotFound || e.code == win32_error::kPathNotFound) return {};
  return e;
}

FileError rename_with_retries(InstallFiles& files, Clock& clock, const std::filesystem::path& from,
                              const std::filesystem::path& to) {
  FileError result;
  for (int attempt = 1;; ++attempt) {
    result = files.rename(from, to);
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
      const FileError opened = files.open_exclusive(dir / name);
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
    if (FileError e = rename_with_retries(files, clock, saved / entry, dir / entry)) on_failure(entry, e);
  }
  return true;
}

bool roll_back_files(InstallFiles& files, Clock& clock, const std::filesystem::path& dir,
                     const std::vector<std::string>& moved) {
  const std::filesystem::path stage = dir / kStageDirName;
  for (auto it = moved.rbegin(); it != moved.rend(); ++it) {
    if (!files.exists(stage / *it) && files.exists(dir / *it)) {
      (void)rename_with_retries(files, clock, dir / *it, stage / *it);  // the stage stays installable
    }
  }
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

void finish_install(InstallFiles& files, Clock& clock, const std::filesystem::path& dir) {
  const std::filesystem::path saved = dir / kSavedDirName;
  const std::filesystem::path stage = dir / kStageDirName;
  if (std::optional<std::vector<std::string>> entries = files.list(saved)) {
    for (const std::string& entry : *entries) {
      for (int attempt = 1; attempt <= kDeleteAttempts; ++attempt) {
        if (files.remove_file(saved / entry)) break;
        if (attempt < kDeleteAttempts) clock.sleep_for(kRetryStep);
      }
    }
  }
  (void)files.remove_directory(saved);
  (void)files.remove_file(stage / kManifestFileName);
  (void)files.remove_directory(stage);
}

}  // namespace velk
