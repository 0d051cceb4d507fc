#include "install/install_log.h"

#include <string>
#include <utility>


namespace velk {

InstallLog::InstallLog(LineOutput out, std::unique_ptr<LogFile> file, std::shared_ptr<StateFiles> state_files)
    : out_(std::move(out)),
      state_files_(state_files ? std::move(state_files) : no_state_files()),
      file_(std::move(file)) {}

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

InstallLog open_install_log(std::shared_ptr<StateFiles> state_files, LineOutput out) {
  if (!state_files) state_files = no_state_files();
  std::unique_ptr<LogFile> file = state_files->open_append(kInstallLogName);
  return InstallLog(std::move(out), std::move(file), std::move(state_files));
}

}  // namespace velk
