#pragma once
// A healthy installation for --diagnose on the native build: an install
// directory with its manifest and a state directory in a temporary folder
// (judged by the platform's own state-directory rules), the in-memory
// filtering engine with the kill switch armed for one saved server, a
// service that runs it and a helper that answers. Each test then breaks one
// thing.

#include <filesystem>
#include <map>
#include <memory>
#include <string>

#include "diagnose/diagnosis.h"
#include "diagnose/run_diagnose.h"
#include "fake_wfp.h"
#include "temp_dir.h"

namespace velk::test {

class FakeDiagnoseSystem final : public DiagnoseSystem {
 public:
  std::optional<bool> elevated() override { return elevation; }
  std::optional<std::filesystem::path> executable_path() override { return executable; }
  ServiceFacts service() override { return facts; }
  std::optional<Status> helper_status() override {
    ++status_requests;
    return status;
  }
  WfpApi& filtering() override { return *engine; }
  StateDirSystem& state_dirs() override { return *dirs; }

  std::optional<bool> elevation = true;
  std::optional<std::filesystem::path> executable;
  ServiceFacts facts;
  std::optional<Status> status;
  int status_requests = 0;
  std::shared_ptr<FakeWfpEngine> engine = FakeWfpEngine::create();
  std::unique_ptr<StateDirSystem> dirs = make_state_dir_system();
};

class DiagnoseWorld {
 public:
  DiagnoseWorld();

  std::filesystem::path state_dir() const { return tmp_.path() / "state"; }
  std::filesystem::path install_dir() const { return tmp_.path() / "VELK VPN"; }
  void write(const std::filesystem::path& file, const std::string& bytes) const;
  // Arms the filters for `pins` as the service would.
  void arm(const std::vector<Pin>& pins);

  struct Run {
    int code = 0;
    std::string out, err;
  };
  Run run(bool json = false, bool default_dir = false);
  // The temporary folder, every file with its bytes and every directory.
  std::map<std::string, std::string> tree() const { return tree_of(tmp_.path()); }

  FakeDiagnoseSystem system;

 private:
  TempDir tmp_;
};

}  // namespace velk::test
