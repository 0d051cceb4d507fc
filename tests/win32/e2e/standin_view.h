#pragma once
// What the filtering-engine stand-in holds, read with `fwp-standin dump`.
//
// A Wine service does not inherit the test's environment, so the helper under
// test uses the stand-in's default state directory, and under Wine a service's
// %ProgramData% is C:\users\Public. The tests read the directory from the
// service process (standin_dir_of) and point every tool they start at it
// through VELK_FWP_STANDIN_DIR. This binary is the only one in the test prefix
// that uses the default directory.

#include <windows.h>

#include <array>
#include <optional>
#include <string>
#include <vector>

#include "process_runner.h"

namespace velk::test {

struct FilterView {
  std::size_t filters = 0;
  std::array<std::size_t, 4> per_layer{};  // ALE connect V4, connect V6, recv-accept V4, recv-accept V6
  std::vector<std::string> pins;           // "ADDRESS:PORT" of the permits to a remote address, in filter order
  std::vector<std::string> app_ids;        // the application ids those permits carry
  std::size_t providers = 0;
  std::size_t sublayers = 0;

  bool every_layer_blocked() const;
};

// The stand-in's state directory as process `pid` resolves it:
// VELK_FWP_STANDIN_DIR, else %ProgramData%\fwp-standin, else
// C:\ProgramData\fwp-standin. None when the process cannot be read.
std::optional<std::wstring> standin_dir_of(DWORD pid);

// fwp-standin.exe with `args`, in this process's environment.
ProcessResult standin_tool(const std::vector<std::wstring>& args);
// None when the dump fails or cannot be read.
std::optional<FilterView> view_filters();
// "4 filters (1/1/1/1 by layer), pins: 192.0.2.10:443" for failure messages.
std::string describe(const FilterView& view);

}  // namespace velk::test
