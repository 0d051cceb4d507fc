#pragma once
// An engine launcher whose processes live in a fake clock's time. Each launch
// follows the next script in line (then the default one): fail to start, run
// for a while and exit with a chosen failure class, or run until terminated
// (optionally refusing to die until the test lets it).

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "supervisor/supervisor_ports.h"

namespace velk::test {

struct EngineScript {
  std::optional<ErrorCode> launch_error;       // the launch fails with this code
  std::optional<Clock::duration> lifetime;     // exits this long after its launch; none: runs until terminated
  ErrorCode exit_code = "engine_exit";         // what its standard error is classified as
  bool stuck_on_terminate = false;             // terminate() blocks until release_stuck()
};

class FakeEngineLauncher final : public EngineLauncher {
 public:
  explicit FakeEngineLauncher(Clock& clock) : clock_(clock) {}

  Result<std::unique_ptr<EngineProcess>> launch(const std::filesystem::path& engine_path,
                                                std::string_view config) override;

  void push(EngineScript script);
  void set_default(EngineScript script);

  struct Launch {
    Clock::time_point at;
    std::filesystem::path path;
    std::string config;
  };
  std::vector<Launch> launches();
  bool await_launches(std::size_t count, std::chrono::milliseconds limit = std::chrono::seconds(20));
  // Processes launched and neither exited nor terminated.
  int alive();
  int terminations();
  bool await_terminate_calls(int count, std::chrono::milliseconds limit = std::chrono::seconds(20));
  void release_stuck();

 private:
  class Process;
  friend class Process;

  Clock& clock_;
  std::mutex m_;
  std::condition_variable changed_;
  std::vector<EngineScript> queue_;
  EngineScript default_{};
  std::vector<Launch> launches_;
  int alive_ = 0;
  int terminate_calls_ = 0;
  int terminations_ = 0;
  bool released_ = false;
};

}  // namespace velk::test
