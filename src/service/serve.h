#pragma once
// The serve mode: fix the configuration, then run as the Windows service
// (with "--service") or serve the pipe in the foreground of a console.

#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "main/command_line.h"
#include "platform/clock.h"
#include "platform/state_dir.h"
#include "service/helper_config.h"
#include "service/service_host.h"
#include "wfp/engine_path.h"

namespace velk {

// What the serve mode runs and publishes; the process entry supplies them.
struct ServeHooks {
  // Stores the engine path in published_engine_path (replacing an earlier value).
  std::function<void(const std::filesystem::path&)> publish_engine_path = [](const std::filesystem::path& path) {
    set_published_engine_path(path);
  };
  // Opens the state directory for the life of the process, a warning or a
  // failure on standard error; a directory that cannot be made safe gives no
  // files (nothing is restored, an arming fails with "killswitch_state").
  std::function<std::shared_ptr<StateFiles>(const std::filesystem::path&, StateDirUse)> open_state_dir =
      [](const std::filesystem::path& dir, StateDirUse use) {
        OpenedStateDir opened = velk::open_state_dir(dir, use);
        if (!opened.message.empty()) (void)std::fputs(opened.message.c_str(), stderr);  // nothing to do if it fails
        return std::move(opened.files);
      };
  // The clock of the claim's retries.
  Clock* clock = &system_clock();
  // One line for standard error.
  std::function<void(std::string_view)> report_error = [](std::string_view line) {
    (void)std::fwrite(line.data(), 1, line.size(), stderr);  // nothing to do if it fails
  };
  // Deletes what was moved aside beside the state directory (only beside the
  // default one: nothing is moved aside elsewhere). The service runs it on a
  // thread of its own once it reports running.
  std::function<void(const std::filesystem::path&)> clean_out_moved_aside = [](const std::filesystem::path& dir) {
    if (dir == default_state_dir()) velk::clean_out_moved_aside(dir);
  };
  // run_pipe_server with this configuration; returns only when the pipe
  // cannot be secured.
  std::function<void(const HelperConfig&)> run_pipe_server;
  // The supervisor the server published, or null while there is none.
  std::function<std::shared_ptr<StoppableSupervisor>()> published_supervisor;
};

// The platform operations of the serve mode.
class ServePlatform {
 public:
  virtual ~ServePlatform() = default;
  // The running executable's path; absent when it cannot be read.
  virtual std::optional<std::filesystem::path> executable_path() = 0;
  // The process's raw command line, as the system holds it.
  virtual std::u16string raw_command_line() = 0;
  // Hands the process to the SCM; returns when the dispatcher returns or fails.
  virtual void run_service_dispatcher() = 0;
};

// Stores the configuration in its write-once slot and gives back what the
// slot holds (the first configuration stored).
using ConfigStore = std::function<const HelperConfig&(HelperConfig)>;

// Resolves the configuration, opens the state directory (the default one is
// made safe, one given with --state-dir is used as it stands), claims it
// (serving_claim.h) and publishes them (engine path, then HelperConfig), then
// enters the dispatcher or, in a console, the server. A claim held elsewhere
// is reported on standard error; the console then returns its exit code at
// once, the service reports it as its stop.
// Returns in service mode once the dispatcher lets go (0), in a console only
// when refused.
int run_serve_with(const HelperOptions& options, ServePlatform& platform, const ServeHooks& hooks,
                    const std::filesystem::path& default_state, const ConfigStore& store_config);

// The serve mode of the process (Windows build only). Returns in service
// mode (0), and in a console when another process serves the directory (the
// exit code).
int run_serve(const HelperOptions& options, ServeHooks hooks);

}  // namespace velk
