#include "diagnose_world.h"

#include <gtest/gtest.h>

#include <fstream>

#include "install/service_ops.h"
#include "platform/sha256.h"
#include "service/helper_config.h"
#include "wfp/filter_ops.h"

namespace velk::test {

namespace fs = std::filesystem;

DiagnoseWorld::DiagnoseWorld() {
  std::string manifest;
  for (const auto& [name, bytes] : std::map<std::string, std::string>{
           {"velkvpn-helper.exe", "helper 0.1.8"}, {"velkvpn-engine.exe", "engine"}, {"readme.txt", "read me"}}) {
    write(install_dir() / name, bytes);
    Sha256 hash;
    hash.update(bytes);
    manifest += hex_lower(*hash.finish()) + "  " + std::to_string(bytes.size()) + "  " + name + "\r\n";
  }
  write(install_dir() / "install-manifest.txt", manifest);

  write(state_dir() / "fresh-directory.marker", "");
  write(state_dir() / "killswitch.json", R"({"version":1,"pins":{"vpn.example":"10.0.0.1"},"owner":"S-1-5-21-7"})");
  write(state_dir() / "install.log", "install 0.1.8 into C:\\Program Files\\VELK VPN\r\ninstalled and answering\r\nresult 0\r\n");

  system.executable = install_dir() / "velkvpn-helper.exe";
  system.facts.registered = true;
  system.facts.state = scm::kRunning;
  system.facts.pid = 42;
  system.facts.command_line = helper_registration(install_dir() / "velkvpn-helper.exe").command_line;
  system.facts.recovery = recovery_actions();
  system.status = Status{};
  system.status->kill_switch = KillSwitch::armed;
  system.status->wanted = true;
  system.status->state = EngineState::running;
  arm({Pin{*IpAddress::parse("10.0.0.1"), 443}});
}

void DiagnoseWorld::write(const fs::path& file, const std::string& bytes) const {
  fs::create_directories(file.parent_path());
  std::ofstream(file, std::ios::binary) << bytes;
}

void DiagnoseWorld::arm(const std::vector<Pin>& pins) {
  std::unique_ptr<FilterOps> ops = system.engine->make_filter_ops(install_dir() / kEngineFileName);
  ASSERT_TRUE(ops->install_filters(pins));
}

DiagnoseWorld::Run DiagnoseWorld::run(bool json, bool default_dir) {
  Run r;
  const DiagnoseRequest request{state_dir(), default_dir, json};
  r.code = run_diagnose(system, request, [&](std::string_view s) { r.out += s; }, [&](std::string_view s) { r.err += s; });
  return r;
}

}  // namespace velk::test
