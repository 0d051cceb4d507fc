#include "main/run_mode.h"

#include <variant>

#include "main/command_line.h"

namespace velk {

int run_process(std::span<const std::string> args, const ConsoleStreams& console) {
  auto parsed = parse_command_line(args);
  if (auto* exit = std::get_if<CommandLineExit>(&parsed)) {
    if (!exit->out.empty()) console.out(exit->out);
    if (!exit->err.empty()) console.err(exit->err);
    return exit->exit_code;
  }
  // The modes themselves are not part of this build yet.
  console.err("velkvpn-helper: this mode is not available in this build\n");
  return 1;
}

}  // namespace velk
