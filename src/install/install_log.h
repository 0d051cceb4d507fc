#pragma once
// The installer's log: every line goes to standard output and is appended to
// install.log in the state directory, bare (no time stamp, level or prefix),
// run after run.

#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string_view>

namespace velk {

inline constexpr std::string_view kInstallLogName = "install.log";

// An open log file that takes whole lines; write errors are ignored.
class LogFile {
 public:
  virtual ~LogFile() = default;
  virtual void append(std::string_view bytes) = 0;
};

// Opens `path` for appending, creating it when missing (sharing read, write
// and delete on Windows); null when it cannot be opened.
std::unique_ptr<LogFile> open_log_file(const std::filesystem::path& path);

using LineOutput = std::function<void(std::string_view)>;

class InstallLog {
 public:
  InstallLog(LineOutput out, std::unique_ptr<LogFile> file);
  // Writes `message` and a line feed to the output and to the file.
  void log(std::string_view message);
  bool has_file() const;
  // Closes the file; later lines reach the output only.
  void close();

 private:
  LineOutput out_;
  mutable std::mutex mutex_;
  std::unique_ptr<LogFile> file_;
};

// Prepares the state directory and opens install.log in it; a directory that
// cannot be made or a file that cannot be opened leaves the log on the output only.
InstallLog open_install_log(const std::filesystem::path& state_dir, LineOutput out);

}  // namespace velk
