#pragma once
// An engine launcher whose processes live in a fake clock's time. Each start
// follows the next script in line (then the default one): fail to start, or
// run (for a while, or until killed) with a chosen standard error text; a
// stuck process hangs whoever kills it until the test lets it go.

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "supervisor/engine_process.h"

namespace velk::test {

struct EngineScript {
  std::optional<ErrorCode> start_error;     // the start fails with this code
  std::optional<Clock::duration> lifetime;  // exits this long after its start; none: runs until killed
  std::string stderr_text;                  // what it writes to standard error
  bool stuck = false;                       // a kill does not return until release_stuck()
  bool survives_kills = false;              // kills return, the process lives on
  // Standard error stays open after the text, as when a child of the engine
  // holds it: until the engine's leftovers are ended, or (never_ends) until
  // release_stuck().
  enum class Held { no, until_leftovers_end, never_ends } output_held = Held::no;
};

class ScriptedEngineLauncher final : public EngineLauncher {
 public:
  explicit ScriptedEngineLauncher(Clock& clock) : clock_(clock) {}
  ~ScriptedEngineLauncher() override;  // lets go of whatever is still stuck

  Result<std::unique_ptr<EngineProcess>> start(const std::filesystem::path& program) override;

  void push(EngineScript script);
  void set_default(EngineScript script);

  struct Launch {
    Clock::time_point at;
    std::filesystem::path program;
    std::optional<std::string> config;  // once written to standard input
  };
  std::vector<Launch> launches();
  bool await_launches(std::size_t count, std::chrono::milliseconds limit = std::chrono::seconds(20));
  // The configuration the `index`-th start received (waits for it).
  std::optional<std::string> config_of(std::size_t index, std::chrono::milliseconds limit = std::chrono::seconds(20));
  // Processes started and not ended yet.
  int alive();
  // Kill calls so far, and processes that ended because of one.
  int kills();
  int killed();
  bool await_kills(int count, std::chrono::milliseconds limit = std::chrono::seconds(20));
  struct Gate;  // what a held standard error waits for
  // Releases stuck processes and held standard error streams.
  void release_stuck();

 private:
  class Process;

  Clock& clock_;
  std::mutex m_;
  std::condition_variable changed_;
  std::vector<EngineScript> queue_;
  EngineScript default_{};
  std::vector<Launch> launches_;
  int alive_ = 0;
  int kills_ = 0;
  int killed_ = 0;
  bool released_ = false;
  std::vector<std::shared_ptr<Gate>> gates_;
};

}  // namespace velk::test
