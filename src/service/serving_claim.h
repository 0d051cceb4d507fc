#pragma once
// One serving process per state directory. The process that serves (the
// service, or a console run) first takes a claim on its state directory: a
// file inside it, opened relative to the held directory and held without
// sharing for the life of the process. A second serving process on the same
// directory cannot take it (after asking for 2 s, in case the holder is just
// ending) and ends before it reads, writes or deletes a file
// there or adds or removes a filter: otherwise its idle watcher would delete
// the first one's killswitch.json as a file it never read, and the first one
// would then take the kill switch down.
//
// Without a state directory (it could not be made safe) nothing is claimed:
// such a process reads, writes and deletes no state file and never removes
// filters it did not install (its watcher only reports stray ones), so it
// cannot take another helper's kill switch down. A name derived from the path
// in the system's object namespace could be taken first by any local user and
// would then keep the service from starting at all.

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

#include "platform/clock.h"
#include "platform/state_files.h"

namespace velk {

inline constexpr std::string_view kServingClaimName = "serving.lock";

// Exit codes of a serving process that does not serve.
inline constexpr int kExitStateDirServed = 30;       // another helper holds the claim
inline constexpr int kExitStateDirUnclaimable = 31;  // the claim file cannot be made or opened

// A claim held elsewhere is asked for again this often, 100 ms apart (2 s in
// all): a process that reported its service stopped may still be ending.
inline constexpr int kClaimTries = 20;
inline constexpr Clock::duration kClaimRetryStep = std::chrono::milliseconds(100);

struct ServingClaim {
  // Held for the life of the process; null when nothing was claimed.
  std::shared_ptr<HeldFile> hold;
  // 0: serve. Otherwise the process's exit code, and `message` the one line
  // for standard error.
  int refused_exit = 0;
  std::string message;
};

// Takes the claim on the state directory `dir`, held open as `files`
// (kClaimTries times while another process holds it).
ServingClaim claim_state_dir(StateFiles& files, const std::filesystem::path& dir, Clock& clock);

}  // namespace velk
