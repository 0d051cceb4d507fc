#include "install/install_log.h"

#include <string>
#include <utility>

#include "platform/state_dir.h"

namespace velk {

InstallLog::InstallLog(LineOutput out, std::unique_ptr<LogFile> file) : out_(std::move(out)), file_(std::move(file)) {}

void InstallLog::log(std::string_view message) {
  std::string line(message);
  line += '\n';
  if (out_) out_(line);
  std::lock_guard lock(mutex_);
  if (file_) file_->append(line);
}

bool InstallLog::has_file() const {
  std::lock_guard lock(mutex_);
  return file_ != nullptr;
}

void InstallLog::close() {
  std::lock_guard lock(mutex_);
  file_.reset();
}

InstallLog open_install_log(const std::filesystem::path& state_dir, LineOutput out) {
  // A directory that cannot be secured is still used: the log goes on to
  // standard output in any case, and to the file when it can be opened.
  (void)prepare_state_dir(state_dir);
  return InstallLog(std::move(out), open_log_file(state_dir / kInstallLogName));
}

}  // namespace velk
