#pragma once
// What --diagnose looks at, as small read-only interfaces so that the report
// can be made against fakes: the process's own token and path, the service's
// registration and state, one status from the running helper, the filtering
// engine and the state directory's file system. The Windows build implements
// them in diagnose_system_win32.cpp; the files of the install directory are
// read with the standard library and the installer's own manifest reader.

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "install/service_manager.h"
#include "ipc/protocol.h"
#include "platform/state_dir.h"
#include "wfp/wfp_api.h"

namespace velk {

// What the service control manager holds for VelkVpnHelper.
struct ServiceFacts {
  bool registered = false;
  // The Win32 error when the manager or the service could not be opened for
  // another reason than "does not exist" (0: none).
  std::uint32_t open_error = 0;
  std::optional<std::uint32_t> state;        // SERVICE_* state; absent when unreadable
  std::optional<std::uint32_t> pid;          // while running
  std::optional<std::string> command_line;  // as registered (UTF-8); absent when unreadable
  std::optional<FailureActions> recovery;    // absent when unreadable (Wine has none)
};

class DiagnoseSystem {
 public:
  virtual ~DiagnoseSystem() = default;
  // The process token's elevation; absent when it cannot be read.
  virtual std::optional<bool> elevated() = 0;
  // This executable's full path; absent when it cannot be read.
  virtual std::optional<std::filesystem::path> executable_path() = 0;
  virtual ServiceFacts service() = 0;
  // One status request on the helper's pipe, believed only from the service's
  // own process, within a few seconds; absent without such an answer.
  virtual std::optional<Status> helper_status() = 0;
  // The filtering engine (only listed, never changed).
  virtual WfpApi& filtering() = 0;
  // The file system the state directory is judged on (only looked at).
  virtual StateDirSystem& state_dirs() = 0;
};

// The system's (Windows build only).
std::unique_ptr<DiagnoseSystem> system_diagnose_system();

}  // namespace velk
