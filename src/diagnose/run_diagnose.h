#pragma once
// --diagnose [--state-dir DIR] [--json]: the report on standard output and
// its exit code (0 everything agrees, 1 something disagrees, 2 it could not
// look: not elevated, the filtering engine or the service manager not
// reachable). Changes nothing.

#include <filesystem>
#include <functional>
#include <string_view>

#include "diagnose/diagnose_system.h"

namespace velk {

inline constexpr std::string_view kNotElevatedText =
    "velkvpn-helper: --diagnose must run elevated (as an administrator); nothing was looked at\n";

struct DiagnoseRequest {
  std::filesystem::path state_dir;
  bool default_dir = true;  // no --state-dir
  bool json = false;
};

using TextOutput = std::function<void(std::string_view)>;

int run_diagnose(DiagnoseSystem& system, const DiagnoseRequest& request, const TextOutput& out, const TextOutput& err);

}  // namespace velk
