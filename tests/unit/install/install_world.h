#pragma once
// An installation to upgrade, in a temporary directory, with every system the
// installer touches faked and one fault plan numbering their calls:
//   D (install dir): velkvpn-helper.exe "0.1.7", velkvpn-engine.exe, wintun.dll
//   D\.update-new:   velkvpn-helper.exe "0.1.8", velkvpn-engine.exe, manifest
//   the old service registered and running 0.1.7, the kill switch armed.
// A started service runs the version written in the installed helper file.

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "fake_filter_ops.h"
#include "fake_helper_client.h"
#include "fake_install_fs.h"
#include "fake_scm.h"
#include "fault_plan.h"
#include "install/installer_system.h"
#include "manual_clock.h"
#include "temp_dir.h"

namespace velk::test {

using FileMap = std::map<std::string, std::string>;  // name -> content

class InstallWorld {
 public:
  InstallWorld();

  // Writes `files` and their manifest into the stage (replacing it).
  void stage(const FileMap& files, std::vector<std::string> manifest_order = {});
  void write(const std::filesystem::path& path, const std::string& content);
  // The files directly in `dir` (none when it does not exist); in the install
  // directory, the manifest an install keeps there aside.
  FileMap files_in(const std::filesystem::path& dir) const;

  int install(const std::filesystem::path& target = {});  // --install-from-stage D (or `target`)
  int remove();   // --remove-service D
  int inspect();  // --upgrade-inspect

  std::filesystem::path dir() const { return tmp.path() / "VELK VPN"; }
  std::filesystem::path stage_dir() const { return dir() / ".update-new"; }
  std::filesystem::path saved_dir() const { return dir() / ".update-old"; }
  std::filesystem::path state_dir() const { return tmp.path() / "state"; }
  std::filesystem::path state_file() const { return state_dir() / "killswitch.json"; }
  // A swap's mark: private in the install directory; in the state directory, as earlier releases left it.
  std::filesystem::path swap_mark() const { return dir() / ".update-swap.pending"; }
  void mark_swap() { (void)files.write_private(swap_mark(), dir().string()); }

  static const FileMap kOldFiles;
  static const FileMap kNewFiles;

  TempDir tmp;
  FaultPlan plan;
  ManualClock clock;
  FakeScm scm{plan};
  FakeTaskkill taskkill{plan, scm};
  FakeInstallFs files{plan};
  FakeHelperClient helper{plan, scm, clock};
  FakeFilterOps filters;
  ServiceOps services{scm, taskkill, clock};
  InstallerSystem system{services, files, helper, filters, clock};
  // The run's state directory: the helper's own default one, a --state-dir one, or none.
  enum class StateDir { own, given, none } state = StateDir::own;
  FileMap staged;                  // what stage() wrote last
  std::vector<std::string> lines;  // the log lines of the last run
  bool filters_stuck = false;      // every filter removal fails
};

}  // namespace velk::test
