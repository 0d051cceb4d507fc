#pragma once
// The installer's log: every line goes to standard output and is appended to
// install.log in the state directory, bare (no time stamp, level or prefix),
// run after run. The log also holds the state directory the run opened.

#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string_view>

#include "platform/state_files.h"

namespace velk {

inline constexpr std::string_view kInstallLogName = "install.log";

// An open log file that takes whole lines; write errors are ignored.
using LogFile = AppendFile;

using LineOutput = std::function<void(std::string_view)>;

class InstallLog {
 public:
  // `state_files` is the run's state directory; null stands for none.
  InstallLog(LineOutput out, std::unique_ptr<LogFile> file, std::shared_ptr<StateFiles> state_files = nullptr);
  // Writes `message` and a line feed to the output and to the file.
  void log(std::string_view message);
  bool has_file() const;
  // Closes the file; later lines reach the output only.
  void close();
  // The files of the run's state directory (none when it could not be opened).
  StateFiles& state_files() const { return *state_files_; }

 private:
  LineOutput out_;
  const std::shared_ptr<StateFiles> state_files_;
  mutable std::mutex mutex_;
  std::unique_ptr<LogFile> file_;
};

// Opens install.log in the opened state directory (shared for reading, writing
// and deletion; never through a link); no directory, or a file that cannot be
// opened, leaves the log on the output only.
InstallLog open_install_log(std::shared_ptr<StateFiles> state_files, LineOutput out);

}  // namespace velk
