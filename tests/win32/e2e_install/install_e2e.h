#pragma once
// The installer end to end: the shipped velkvpn-helper.exe of the build
// directory run as --install-from-stage / --upgrade-inspect / --remove-service
// against Wine's real service manager, installing into
// C:\Program Files\VELK VPN the helper, the engine stand-in and the
// filtering-engine stand-in (fwpuclnt.dll, which a service loads from beside
// its exe). Each test starts without the service VelkVpnHelper, without the
// install directory and with an empty install.log, and removes what it made.

#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "ipc/protocol.h"
#include "process_runner.h"

namespace velk::test {

using Files = std::map<std::string, std::string>;  // name -> bytes
using Digests = std::map<std::string, std::string>;  // name -> size and SHA-256, for readable failures
using Lines = std::vector<std::string>;

inline const std::string kInstallLine = "install 0.1.8 into C:\\Program Files\\VELK VPN";
inline const std::string kVpnOff = "the running helper turned the VPN off";
inline const std::string kRollback = "the new service did not come up; restoring the previous version";

class InstallE2e : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  static std::filesystem::path install_dir();
  static std::filesystem::path state_dir();  // %ProgramData%\VELK VPN as this process sees it
  // Helper, engine stand-in, fwpuclnt stand-in, and two data files, one of
  // them named outside ASCII (données.bin).
  static Files shipped();
  // The helper built from the same sources saying version 0.1.9.
  static std::string other_version_helper();

  // Writes `files` and their manifest (`manifest_names`: the listed names,
  // default every file) into the stage.
  void stage(const Files& files, std::optional<std::vector<std::string>> manifest_names = std::nullopt);
  // velkvpn-helper.exe with `args`; its output lines.
  ProcessResult run(const std::vector<std::wstring>& args, unsigned timeout_ms = 120000);
  // --install-from-stage into install_dir(), expecting `code` and, unless
  // empty, exactly `lines` on stdout.
  ProcessResult install(unsigned code, const Lines& lines = {});
  static Lines lines_of(const std::string& text);
  // A first install of shipped() that must succeed; installed_ holds what it put in place.
  void install_shipped();

  static Digests digests(const Files& files);
  Digests files_in(const std::filesystem::path& dir) const;
  Lines install_log() const;
  // One line on the default pipe (no check of who serves it).
  std::optional<Response> ask(const std::string& line) const;
  std::optional<Status> status() const;
  SERVICE_STATUS_PROCESS service_status() const;  // dwCurrentState 0 when absent
  // Stops the installed service by hand (as an administrator would) and waits up to 10 s for STOPPED.
  void stop_service() const;
  std::string service_command_line() const;       // as registered, UTF-8

  Digests installed_;
};

}  // namespace velk::test
