// The disagreements of a diagnosis, in the order the report lists them:
// the service, the running helper, the state directory, the kill switch,
// the installation. Each says what is wrong and what fixes it.

#include "diagnose/diagnosis.h"

#include "install/file_steps.h"
#include "install/service_ops.h"
#include "install/swap_mark.h"
#include "install/manifest.h"
#include "platform/text.h"

namespace velk {
namespace {

constexpr const char* kReinstall = "reinstall (velkvpn-helper.exe --install-from-stage with the release's stage)";
constexpr const char* kRecover = "run velkvpn-helper.exe --recover elevated (it turns the kill switch off)";
constexpr const char* kRestart = "restart the service VelkVpnHelper (sc stop VelkVpnHelper, sc start VelkVpnHelper)";

class Findings {
 public:
  void add(std::string what, std::string fix) { list_.push_back({std::move(what), std::move(fix)}); }
  std::vector<Finding> take() { return std::move(list_); }

 private:
  std::vector<Finding> list_;
};

void service_findings(const Diagnosis& d, Findings& out) {
  const ServiceFacts& s = d.service;
  if (s.open_error != 0) return;  // could not look
  if (!s.registered) {
    out.add("the service VelkVpnHelper is not registered", kReinstall);
    return;
  }
  if (s.state && *s.state != scm::kRunning) {
    out.add("the service VelkVpnHelper is not running", "start it (sc start VelkVpnHelper); if it does not stay up, " +
                                                            std::string(kReinstall));
  } else if (s.state && !d.helper) {
    out.add("the service VelkVpnHelper runs but does not answer a status request on its pipe", kRestart);
  }
  if (!s.command_line || !d.service_executable ||
      *s.command_line != helper_registration(*d.service_executable).command_line) {
    out.add("the service's command line is not the one an install registers", kReinstall);
  }
  if (s.recovery && *s.recovery != recovery_actions()) {
    out.add("the service's recovery actions are not the installed ones (restart after 1 s, 1 s, 5 s)", kReinstall);
  }
}

void helper_findings(const Diagnosis& d, Findings& out) {
  if (!d.helper) return;
  const bool armed = d.helper->kill_switch == KillSwitch::armed;
  if (armed && d.saved == SavedState::missing && !d.turn_off_pending) {
    out.add("the running helper reports the kill switch armed, but killswitch.json is missing",
            "stop the VPN and start it again; if that fails, " + std::string(kRecover));
  } else if (!armed && d.saved != SavedState::missing) {
    out.add("killswitch.json is saved, but the running helper reports the kill switch off",
            std::string(kRecover) + ", or " + kRestart + " to enforce it");
  }
}

void state_dir_findings(const Diagnosis& d, Findings& out) {
  const std::string dir = utf8_from_path(d.state_dir);
  if (d.state_dir_verdict == StateDirVerdict::would_be_moved_aside) {
    out.add("the state directory " + dir + " is not the helper's: its next start moves it aside with what it holds",
            kRestart + std::string(" (a fresh directory is made; a kill switch saved in the old one is not restored)"));
  } else if (d.state_dir_verdict == StateDirVerdict::not_usable) {
    out.add("the state directory " + dir + " cannot be used", "remove what stands at that path, then " + std::string(kRestart));
  }
}

void kill_switch_findings(const Diagnosis& d, Findings& out) {
  if (d.saved == SavedState::unreadable) {
    out.add("killswitch.json cannot be read (the helper restores the block without pins from it)", kRecover);
  }
  if (!d.filters_listed) return;
  const bool filters = !d.filters.empty();
  if (d.turn_off_pending) {
    out.add(filters ? "a turn-off is pending (killswitch.disarm) and the kill switch's filters are still in force"
                    : "a turn-off is pending (killswitch.disarm is left)",
            "the running helper completes it within a second; otherwise " + std::string(kRecover));
    return;
  }
  if (d.saved == SavedState::missing) {
    if (filters) {
      out.add(std::to_string(d.filters.size()) + " filters of the kill switch are in force with no killswitch.json",
              std::string(kRecover) + ", or ask the running helper for emergency_off elevated");
    }
    return;
  }
  if (!filters) {
    out.add("killswitch.json is saved but no filter of the kill switch is in force",
            kRestart + std::string(" (it restores the block), or ") + kRecover);
    return;
  }
  for (const std::string& missing : d.comparison.missing) {
    out.add("filter missing: " + missing, "the running helper puts it back within a second; if it stays missing, " +
                                              std::string(kRestart));
  }
  for (const std::string& extra : d.comparison.extra) {
    out.add("filter the saved state does not imply: " + extra,
            "ask the running helper for emergency_off elevated, or " + std::string(kRecover) + "; then start again");
  }
}

void installation_findings(const Diagnosis& d, Findings& out) {
  if (!d.install_dir) return;
  const std::string dir = utf8_from_path(*d.install_dir);
  if (!d.manifest_read) {
    out.add(dir + " holds no readable install-manifest.txt: its files cannot be checked", kReinstall);
  }
  for (const InstalledFile& f : d.files) {
    if (f.check == FileCheck::missing) out.add(f.name + " is missing from " + dir, kReinstall);
    if (f.check == FileCheck::differs) out.add(f.name + " differs from install-manifest.txt", kReinstall);
  }
  for (const std::string& name : d.extra_files) {
    out.add(name + " in " + dir + " is not named by install-manifest.txt",
            "remove it (elevated) unless you put it there on purpose");
  }
  for (const std::string& name : d.leftovers) {
    if (name == kSwapMarkName || fold_file_name(name).starts_with(fold_file_name(kSwapMarkFileName))) {
      const std::string where = name == kSwapMarkName ? std::string("the state directory") : dir;
      out.add("an upgrade's swap of files is marked unfinished (" + name + " in " + where + ")",
              "run the installer again (--install-from-stage): it puts the saved version back first");
    } else if (fold_file_name(name) == fold_file_name(kSavedDirName)) {
      out.add(name + " in " + dir + " is left from an upgrade that did not finish, or could not be cleaned up",
              "run the installer again (--install-from-stage): it puts that version back or discards it");
    } else if (fold_file_name(name) == fold_file_name(kStageDirName)) {
      out.add(name + " in " + dir + " holds a stage that was not installed",
              "install it (--install-from-stage) or remove it (elevated)");
    } else {
      out.add(name + " in " + dir + " holds files an install could not delete",
              "remove it (elevated), or restart Windows, which deletes it");
    }
  }
}

}  // namespace

std::vector<Finding> find_disagreements(const Diagnosis& d) {
  Findings out;
  service_findings(d, out);
  helper_findings(d, out);
  state_dir_findings(d, out);
  kill_switch_findings(d, out);
  installation_findings(d, out);
  return out.take();
}

}  // namespace velk
