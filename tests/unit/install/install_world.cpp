#include "install_world.h"

#include <fstream>
#include <sstream>

#include "install/inspect.h"
#include "install/remove.h"
#include "install/upgrade.h"
#include "install/service_ops.h"
#include "platform/sha256.h"
#include "platform/state_dir.h"

namespace velk::test {

const FileMap InstallWorld::kOldFiles{
    {"velkvpn-helper.exe", "0.1.7"}, {"velkvpn-engine.exe", "old engine"}, {"wintun.dll", "old wintun"}};
const FileMap InstallWorld::kNewFiles{
    {"velkvpn-helper.exe", "0.1.8"}, {"velkvpn-engine.exe", "new engine"}, {"wintun.dll", "new wintun"}};

InstallWorld::InstallWorld() {
  for (const auto& [name, content] : kOldFiles) write(dir() / name, content);
  stage(kNewFiles);
  (void)open_state_dir(state_dir(), StateDirUse::default_dir);  // made as the helper makes it
  write(state_file(), R"({"version":1,"pins":{},"owner":"S-1-5-21-7"})");
  filters.preinstall({});
  scm.version_on_start = [this] { return files_in(dir())["velkvpn-helper.exe"]; };
  scm.install_running(helper_registration(dir() / "velkvpn-helper.exe"), "0.1.7");
  scm.failure_actions = recovery_actions();
  filters.on_call([this](FakeFilterOps::Call call) {
    using Call = FakeFilterOps::Call;
    if (call == Call::remove) filters.fail_remove(plan.fails("filters.remove") || filters_stuck);
    if (call == Call::list) filters.fail_list(plan.fails("filters.list"));
  });
}

void InstallWorld::write(const std::filesystem::path& path, const std::string& content) {
  std::filesystem::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << content;
}

void InstallWorld::stage(const FileMap& staged, std::vector<std::string> order) {
  std::filesystem::remove_all(stage_dir());
  this->staged = staged;
  if (order.empty()) {
    if (staged.contains("velkvpn-helper.exe")) order.push_back("velkvpn-helper.exe");  // first, as a build lists it
    for (const auto& [name, content] : staged) {
      if (name != "velkvpn-helper.exe") order.push_back(name);
    }
  }
  std::string manifest;
  for (const std::string& name : order) {
    const std::string& content = staged.at(name);
    write(stage_dir() / name, content);
    Sha256 hash;
    hash.update(content);
    manifest += hex_lower(*hash.finish()) + "  " + std::to_string(content.size()) + "  " + name + "\n";
  }
  write(stage_dir() / "install-manifest.txt", manifest);
}

FileMap InstallWorld::files_in(const std::filesystem::path& where) const {
  FileMap found;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(where, ec)) {
    if (!entry.is_regular_file()) continue;
    // The manifest an install keeps beside its files is no file of a version.
    if (where == dir() && entry.path().filename() == "install-manifest.txt") continue;
    std::ifstream in(entry.path(), std::ios::binary);
    std::stringstream content;
    content << in.rdbuf();
    found[entry.path().filename().string()] = content.str();
  }
  return found;
}

namespace {

InstallLog recording_log(std::vector<std::string>& lines, const std::filesystem::path& state_dir,
                         InstallWorld::StateDir state) {
  lines.clear();
  std::shared_ptr<StateFiles> files = state == InstallWorld::StateDir::given ? state_files_at(state_dir)
                                      : state == InstallWorld::StateDir::none  ? no_state_files()
                                                                               : open_state_dir(state_dir, StateDirUse::default_dir).files;
  return InstallLog([&lines](std::string_view line) { lines.emplace_back(line.substr(0, line.size() - 1)); },
                    nullptr, std::move(files));
}

}  // namespace

int InstallWorld::install(const std::filesystem::path& target) {
  InstallLog log = recording_log(lines, state_dir(), state);
  return install_from_stage(log, system, target.empty() ? dir() : target);
}

int InstallWorld::remove() {
  InstallLog log = recording_log(lines, state_dir(), state);
  return velk::remove(log, system, dir());
}

int InstallWorld::inspect() {
  InstallLog log = recording_log(lines, state_dir(), state);
  return velk::inspect(log, system);
}

}  // namespace velk::test
