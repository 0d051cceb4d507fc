#include "install/upgrade.h"

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "install/file_steps.h"
#include "install/installer_codes.h"
#include "install/killswitch_removal.h"
#include "install/manifest.h"
#include "install/swap_mark.h"
#include "platform/text.h"
#include "platform/version.h"

namespace velk {
namespace {

using namespace install_code;

// A step either lets the install go on or ends it with an exit code.
using StepOutcome = std::optional<int>;
constexpr StepOutcome kContinue = std::nullopt;

// The install directory as Windows resolves a relative one (from the current
// directory): only a full path may ever be registered as the service's.
std::filesystem::path full_path(const std::filesystem::path& dir) {
  std::error_code ec;
  std::filesystem::path full = std::filesystem::absolute(dir, ec);
  return ec ? dir : full;
}

bool same_name(std::string_view a, std::string_view b) { return fold_file_name(a) == fold_file_name(b); }

class Install {
 public:
  Install(InstallLog& log, InstallerSystem& system, const std::filesystem::path& dir)
      : log_(log),
        sys_(system),
        dir_(full_path(dir)),
        stage_(dir_ / kStageDirName),
        saved_(dir_ / kSavedDirName) {}

  int run() {
    log_.log("install " + std::string(kVersion) + " into " + utf8_from_path(dir_));
    const int code = steps();
    log_.log("result " + std::to_string(code));
    return code;
  }

 private:
  int steps() {
    if (StepOutcome end = refuse_unprotected_directory()) return *end;
    // Only a swap this installer marked as begun is taken back, and first, so
    // that the stage is checked as the interrupted run left it. A .update-old
    // without the mark is trash, whoever left it.
    const bool interrupted = marked() && sys_.files.exists(saved_);
    if (!interrupted && !verify_stage()) return stage_damaged();
    // Only a service the manager reports absent counts as not installed: an
    // old service that merely could not be opened must still be stopped and
    // put back, never left running under the new files.
    was_installed_ = !sys_.services.service_absent();
    if (StepOutcome end = quiesce_old_version()) return *end;
    if (interrupted) {
      restore_leftovers();
      if (!verify_stage()) {
        // Files were put back, so "nothing was changed" would be untrue here.
        log_.log("the new files are incomplete or damaged; the previous version is back");
        return restart_previous();  // the previous version, whole again, stays
      }
    } else {
      if (marked()) clear_mark();  // no saved files: nothing to take back
      (void)discard_saved_files(sys_.files, sys_.clock, dir_);
    }
    if (StepOutcome end = unblock()) return *end;
    if (StepOutcome end = check_files_free()) return *end;
    // The old service stays registered: deleting it cannot finish while
    // anyone holds it open, so its registration is rewritten in place.
    if (StepOutcome end = swap_files()) return *end;
    if (!confirm_new_version()) return take_back_new_version();
    // The mark goes first: from then on no saved file can come back, even
    // when the clean-up is cut short.
    clear_mark();
    share_new_files();
    finish_install(sys_.files, sys_.clock, dir_);
    log_.log("installed and answering");
    return kDone;
  }

  bool marked() { return swap_marked(log_.state_files(), sys_.files, dir_); }
  void clear_mark() { clear_swap_mark(log_.state_files(), sys_.files, dir_); }

  // Once the saved files are all back (or none were saved), nothing is left
  // to take back.
  void clear_mark_when_nothing_saved() {
    if (saved_dir_is_empty(sys_.files, dir_)) clear_mark();
  }

  // The helper and the engine run as LocalSystem from this directory: one
  // that others may change is refused before anything is changed.
  StepOutcome refuse_unprotected_directory() {
    std::optional<std::string> why = std::string("its access list cannot be read");
    if (std::optional<FileSecurity> security = sys_.files.security(dir_)) {
      why = why_others_can_change(*security, sys_.files.emulated_owner());
    }
    if (!why) return kContinue;
    log_.log("the install directory is not protected: " + *why + "; nothing was changed");
    return kDirectoryUnprotected;
  }

  // Once confirmed, the new files get what the directory hands down (users
  // may read and run them); until then no user could open them.
  void share_new_files() {
    bool all = true;
    for (const std::string& name : names_) all = sys_.files.make_inherited(dir_ / path_from_utf8(name)) && all;
    if (!all) log_.log("some new files keep an access list only administrators can open");
  }

  // Puts the previous service back in service: 25 when that works, else 26.
  int restart_previous() {
    return sys_.services.restore_service(log_, sys_.files, dir_, was_installed_) ? kRolledBack : kRollbackFailed;
  }

  bool verify_stage() {
    std::optional<std::vector<std::string>> names = sys_.stage_check(stage_);
    if (!names) return false;
    names_ = std::move(*names);
    return true;
  }

  int stage_damaged() {
    log_.log("the new files are incomplete or damaged; nothing was changed");
    return kStageDamaged;
  }

  // Ends the desktop application, turns the VPN off and stops the old service.
  StepOutcome quiesce_old_version() {
    sys_.services.run_taskkill("/IM", "velkvpn.exe");
    if (!was_installed_) return kContinue;
    const bool off = sys_.helper.ask_helper_to_turn_off([this](std::string_view line) { log_.log(line); });
    log_.log(off ? "the running helper turned the VPN off" : "the running helper did not answer");
    sys_.services.clear_recovery_actions(log_);
    if (!sys_.services.stop_service(log_)) {
      log_.log("the old service did not stop");
      (void)sys_.services.restore_service(log_, sys_.files, dir_, true);
      return kNotStopped;
    }
    return kContinue;
  }

  // An upgrade that never finished: the new files it had put in place go
  // back into the stage, then its saved files back into the directory, which
  // then holds the previous version whole.
  void restore_leftovers() {
    log_.log("an earlier upgrade did not finish: restoring its saved files");
    if (std::optional<std::vector<ManifestEntry>> entries = read_manifest(stage_)) {
      std::vector<std::string> names;
      for (const ManifestEntry& e : *entries) names.push_back(e.name);
      return_new_files_to_stage(sys_.files, sys_.clock, dir_, names);
    }
    (void)restore_saved_files(sys_.files, sys_.clock, dir_, [this](const std::string& name, const FileError& e) {
      log_.log("restoring " + name + ": " + file_error_text(e));
    });
    (void)sys_.files.remove_directory(saved_);  // when empty: nothing unfinished is left
    clear_mark_when_nothing_saved();
  }

  StepOutcome unblock() {
    if (remove_kill_switch(log_, sys_)) return kContinue;
    (void)restart_previous();
    return kFiltersRemain;
  }

  StepOutcome check_files_free() {
    std::vector<std::string> names = names_;
    for (std::string_view retired : kRetiredFiles) names.emplace_back(retired);
    std::optional<std::string> busy = find_busy_file(sys_.files, sys_.clock, dir_, names,
                                                     [this] { sys_.services.run_taskkill("/IM", "velkvpn.exe"); });
    // Saved files the swap did not save itself (someone holds them open) would
    // be put back with its own on a rollback.
    if (!busy && !marked() && !saved_dir_is_empty(sys_.files, dir_)) busy = std::string(kSavedDirName);
    if (!busy) return kContinue;
    log_.log(*busy + " is in use");
    (void)restart_previous();
    return kFileInUse;
  }

  // Saves the old files in .update-old and moves the staged ones into place.
  // No user can open what is saved, nor a new file until it is confirmed, so
  // none can hold one open to keep a rollback from moving it.
  StepOutcome swap_files() {
    if (FileError e = mark_swap(sys_.files, dir_)) {
      log_.log("replacing files: " + file_error_text(e));
      return restart_previous();
    }
    if (FileError e = sys_.files.create_private_directory(saved_)) {
      clear_mark_when_nothing_saved();
      log_.log("replacing files: " + file_error_text(e));
      return restart_previous();
    }
    for (std::string_view retired : kRetiredFiles) {
      auto listed = [retired](const std::string& name) { return same_name(name, retired); };
      if (std::any_of(names_.begin(), names_.end(), listed)) continue;
      const std::filesystem::path name = path_from_utf8(retired);
      if (FileError e = save_old_file(sys_.files, sys_.clock, dir_, name)) return roll_back_swap(e);
    }
    for (const std::string& name : names_) {
      moved_.push_back(name);
      const std::filesystem::path file = path_from_utf8(name);
      if (FileError e = save_old_file(sys_.files, sys_.clock, dir_, file)) return roll_back_swap(e);
      (void)sys_.files.make_private(stage_ / file);
      if (FileError e = rename_with_retries(sys_.files, sys_.clock, stage_ / file, dir_ / file)) {
        return roll_back_swap(e);
      }
    }
    return kContinue;
  }

  int roll_back_swap(const FileError& failed) {
    const bool ok = roll_back_files(sys_.files, sys_.clock, dir_, moved_);
    if (ok) clear_mark_when_nothing_saved();
    log_.log("replacing files: " + file_error_text(failed));
    return ok ? restart_previous() : kRollbackFailed;
  }

  // The new service runs, answers with this program's version and blocks nothing.
  bool confirm_new_version() {
    if (!sys_.services.install_service(log_, dir_ / kHelperFileName)) return false;
    if (!sys_.services.start_service()) return false;
    std::optional<std::string> version = sys_.helper.wait_for_helper_version();
    if (!version || *version != kVersion) return false;
    Result<bool> remaining = sys_.filters.list_filters();
    return remaining && !*remaining;
  }

  int take_back_new_version() {
    log_.log("the new service did not come up; restoring the previous version");
    sys_.services.clear_recovery_actions(log_);
    if (!sys_.services.stop_service(log_)) {
      log_.log("the new service does not stop either; the new files stay, whole");
      return kRollbackFailed;
    }
    // Only a service this run created goes; an old one gets its registration
    // back in place when the previous version is restarted.
    bool deleted = true;
    if (!was_installed_ && sys_.services.service_exists()) {
      deleted = sys_.services.delete_service() == ServiceOps::Deletion::gone;
    }
    const bool ok = roll_back_files(sys_.files, sys_.clock, dir_, moved_);
    if (ok) clear_mark_when_nothing_saved();
    return deleted && ok ? restart_previous() : kRollbackFailed;
  }

  InstallLog& log_;
  InstallerSystem& sys_;
  const std::filesystem::path dir_, stage_, saved_;
  std::vector<std::string> names_;
  std::vector<std::string> moved_;
  bool was_installed_ = false;
};

}  // namespace

std::optional<std::vector<std::string>> check_stage(const std::filesystem::path& stage) {
  std::optional<std::vector<ManifestEntry>> entries = read_manifest(stage);
  if (!entries || !verify_stage(stage, *entries)) return std::nullopt;
  std::vector<std::string> names;
  for (const ManifestEntry& e : *entries) names.push_back(e.name);
  return names;
}

int install_from_stage(InstallLog& log, InstallerSystem& system, const std::filesystem::path& install_dir) {
  return Install(log, system, install_dir).run();
}

}  // namespace velk
