#pragma once
// The engine process: started with its fixed command line, its configuration
// written to standard input, standard output discarded, standard error handed
// to the output reader; asked without waiting whether it has ended; terminated
// without a polite request first.
//
//   auto launcher = make_engine_launcher();            // one per helper (owns the job)
//   auto child = launcher->start(engine_path);        // "engine_missing" / "engine_spawn"
//   (*child)->write_input_and_close(config_text);     // result may be ignored
//   auto reader = OutputReader::start((*child)->take_error_output());
//   ... (*child)->has_exited() every 200 ms ...
//   terminate_engine(**child, clock);                 // on a request change or time-out
//   (*child)->end_leftovers();                        // after an exit of its own

#include <array>
#include <chrono>
#include <filesystem>
#include <memory>
#include <string_view>

#include "platform/clock.h"
#include "platform/result.h"
#include "supervisor/output_reader.h"

namespace velk {

inline constexpr std::array<std::string_view, 4> kEngineArguments = {"run", "-c", "stdin", "--disable-color"};

// One started engine. Destroying it closes the helper's handles; on Windows the
// process itself lives on (only the job ends it with the helper), so end it
// first with terminate_engine() unless it has exited.
class EngineProcess {
 public:
  virtual ~EngineProcess() = default;
  // Writes all of text to standard input, then closes it. False when a write
  // failed (callers ignore it: the engine then fails and is classified).
  virtual bool write_input_and_close(std::string_view text) = 0;
  // The read end of standard error, once; null on later calls.
  virtual std::unique_ptr<ByteReader> take_error_output() = 0;
  // Whether the process has ended, without waiting; true when the question fails.
  virtual bool has_exited() = 0;
  // Ends the process at once (TerminateProcess / SIGKILL); errors are ignored.
  virtual void kill() = 0;
  // Waits for the process to end, without a time limit.
  virtual void wait() = 0;
  // Ends whatever the engine started that is still running: what is left in
  // the job on Windows (nothing without a job), the engine's process group
  // natively. For an engine that has exited or been terminated; errors are ignored.
  virtual void end_leftovers() = 0;
};

// Starts engine processes. Not thread-safe: the engine thread owns it.
class EngineLauncher {
 public:
  virtual ~EngineLauncher() = default;
  // Starts program with kEngineArguments. On Windows: no window, only the
  // three standard handles inherited, the process put into the helper's
  // kill-on-close job (made at the first start; a failure to make it or to
  // assign to it is ignored). Errors: "engine_missing" when the executable does
  // not exist, "engine_spawn" for any other failure.
  virtual Result<std::unique_ptr<EngineProcess>> start(const std::filesystem::path& program) = 0;
};

// The platform's launcher (engine_process_win32.cpp / engine_process_posix.cpp).
std::unique_ptr<EngineLauncher> make_engine_launcher();

inline constexpr int kTerminatePolls = 50;
inline constexpr int kTerminateFinalPolls = 20;
inline constexpr std::chrono::milliseconds kTerminatePollInterval{100};

// How long the engine thread waits for the reader of an exited engine's
// standard error: 40 questions 50 ms apart, about 2 seconds.
inline constexpr int kLastWordsPolls = 40;
inline constexpr std::chrono::milliseconds kLastWordsPollStep{50};

// Kill at once; then up to 50 times ask whether it has ended, sleeping 100 ms
// after each "not yet"; if it is still there, kill again and ask up to 20 more
// times (about 2 seconds), then give up on it. Either way whatever it started
// is ended last (end_leftovers). False when the process outlived both kills.
bool terminate_engine(EngineProcess& process, Clock& clock);

}  // namespace velk
