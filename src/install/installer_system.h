#pragma once
// Everything an installer mode touches, as interfaces: the service
// operations, the install directory's files, the running helper, the
// kill-switch filters, the clock and the stage check.

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "install/helper_client.h"
#include "install/install_files.h"
#include "install/install_log.h"
#include "install/service_ops.h"
#include "platform/clock.h"
#include "wfp/filter_ops.h"

namespace velk {

// The names of a stage's files when its manifest and files check out.
using StageCheck = std::function<std::optional<std::vector<std::string>>(const std::filesystem::path& stage)>;

// read_manifest then verify_stage.
std::optional<std::vector<std::string>> check_stage(const std::filesystem::path& stage);

struct InstallerSystem {
  ServiceOps& services;
  InstallFiles& files;
  HelperClient& helper;
  FilterOps& filters;
  Clock& clock;
  StageCheck stage_check = check_stage;
};

}  // namespace velk
