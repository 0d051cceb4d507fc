#pragma once
// Run-mode dispatch: parses the command line and runs the chosen mode.

#include <functional>
#include <span>
#include <string>
#include <string_view>

namespace velk {

struct ConsoleStreams {
  std::function<void(std::string_view)> out;
  std::function<void(std::string_view)> err;
};

// Returns the process exit code.
int run_process(std::span<const std::string> args, const ConsoleStreams& console);

}  // namespace velk
