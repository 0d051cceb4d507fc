#pragma once
// The shipped velkvpn-helper.exe from the build directory, registered as a
// real service for one test with a pipe and a state directory of its own,
// and the requests the tests send it.

#include <gtest/gtest.h>

#include <windows.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "ipc/protocol.h"
#include "pipe_line_client_win32.h"
#include "service_control.h"
#include "temp_dir.h"

namespace velk::test {

// Two routes to documentation addresses (nothing listens there; the engine
// stand-in never connects), srv-1 selected.
EngineRequest two_routes();
std::string start_line(bool kill_switch = true);
std::string line_of(const Request& request);

// The text of an answer for failure messages.
std::string describe(const std::optional<Response>& response);
// The status inside an answer, if it is one.
std::optional<Status> status_of(const std::optional<Response>& response);
std::optional<std::string> error_of(const std::optional<Response>& response);

// Why velkvpn-helper.exe cannot serve as a service, or none when it can: run
// outside the SCM, "--service" must not end at once with a complaint.
std::optional<std::string> serve_mode_missing();

// The velkvpn-engine.exe processes whose parent is `pid`.
std::vector<DWORD> engine_children(DWORD pid);

class HelperService {
 public:
  // Names from the running test: service VelkVpnHelperE2E-<pid>-<test>, pipe
  // \\.\pipe\velk-e2e-<pid>-<test>, a fresh state directory.
  HelperService();
  ~HelperService();  // stops and deletes the service

  // Registers the service (first call) and starts it; waits until the pipe answers.
  ::testing::AssertionResult start();
  // Stops the service; waits until it is stopped and its process gone.
  ::testing::AssertionResult stop();
  DWORD pid() const { return pid_; }

  const std::string& pipe() const { return pipe_; }
  const std::filesystem::path& state_dir() const { return state_dir_; }
  std::filesystem::path state_file() const { return state_dir_ / L"killswitch.json"; }

  std::optional<fixture::PipeLineClient> connect(std::chrono::milliseconds wait = std::chrono::seconds(5)) const;
  // One line on a connection of its own; the answer decoded (none: no answer).
  std::optional<Response> ask(const std::string& line,
                              std::chrono::milliseconds limit = std::chrono::seconds(30)) const;
  std::optional<Status> status() const;
  // Asks for the status every 50 ms until `done` holds or `limit` has passed;
  // the last status seen.
  std::optional<Status> wait_status(const std::function<bool(const Status&)>& done,
                                    std::chrono::milliseconds limit) const;

 private:
  std::wstring name_;
  std::string pipe_;
  TempDir temp_;
  std::filesystem::path state_dir_;
  std::optional<ServiceControl> service_;
  DWORD pid_ = 0;
};

}  // namespace velk::test
