// Process entry of velkvpn-helper.exe.

#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <string>
#include <vector>

#include "diagnose/run_diagnose.h"
#include "install/run_installer.h"
#include "main/run_mode.h"
#include "main/serve_mode.h"
#include "platform/text.h"
#include "wfp/filter_ops.h"

int wmain(int argc, wchar_t** argv) {
  // The texts end in a bare line feed; the C runtime must not turn it into CR LF.
  _setmode(_fileno(stdout), _O_BINARY);
  _setmode(_fileno(stderr), _O_BINARY);
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) {
    args.push_back(velk::utf8_from_utf16(reinterpret_cast<const char16_t*>(argv[i])));
  }
  velk::ConsoleStreams console{
      [](std::string_view s) { std::fwrite(s.data(), 1, s.size(), stdout); std::fflush(stdout); },
      [](std::string_view s) { std::fwrite(s.data(), 1, s.size(), stderr); std::fflush(stderr); },
  };
  velk::ModeDependencies deps{
      [] { return velk::system_filter_ops(); },
      [](const velk::HelperOptions& options) { return velk::run_serve_mode(options); },
      [&console](const velk::HelperOptions& options, const std::filesystem::path&,
                 std::shared_ptr<velk::StateFiles> state_files) {
        return velk::run_system_installer(options, std::move(state_files), console.out);
      },
  };
  deps.diagnose = [&console](const velk::HelperOptions& options, const std::filesystem::path& state_dir) {
    std::unique_ptr<velk::DiagnoseSystem> system = velk::system_diagnose_system();
    const velk::DiagnoseRequest request{state_dir, !options.state_dir.has_value(), options.json};
    return velk::run_diagnose(*system, request, console.out, console.err);
  };
  return velk::run_process(args, console, deps);
}
