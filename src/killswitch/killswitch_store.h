#pragma once
// The kill-switch store: killswitch.json in the state directory (the authority
// on whether the kill switch is wanted), the pins armed by this process, and
// the operations that arm, restore, disarm and recover.
//
// The caller serialises arm, disarm and the watcher's passes (the supervisor's
// operation lock). The two mutexes here are innermost: each is held for one
// read or one replacement, never across file or filter work.

#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "killswitch/armed_state.h"
#include "platform/ip_address.h"
#include "platform/result.h"
#include "platform/state_files.h"
#include "wfp/filter_ops.h"
#include "wfp/pin.h"

namespace velk {

inline constexpr std::string_view kStateFileName = "killswitch.json";
inline constexpr std::string_view kStateTempName = "killswitch.tmp";
// Written (flushed, holding the state file's bytes) before a disarm deletes
// killswitch.json and dropped once the filters are gone, so that a crash or a
// power cut between the two is finished by the next load instead of leaving
// the filters in force with no file to show them.
// A turn-off the filters have not followed yet: killswitch.json is renamed to
// this name before the filters are removed, and the name is dropped once they
// are gone. While it is there the user's "off" stands: the next load (and the
// watcher) completes it, and nothing restores a block from it.
inline constexpr std::string_view kDisarmIntentName = "killswitch.disarm";

// The most host names the state file keeps addresses for. An arming that
// would go beyond drops saved hosts its own request does not use.
inline constexpr std::size_t kMaxSavedHosts = 256;

class KillSwitchStore {
 public:
  // Reads killswitch.json from `files`; a missing, unreadable or malformed
  // file leaves the store without saved state. Installs nothing; never fails.
  // A turn-off left unfinished (killswitch.disarm there) is completed first:
  // the file is deleted and the filters removed; when the filters cannot be
  // removed the turn-off stays pending (off_pending(), the saved state read
  // from the intent) and is never turned back into a block. `filters` must
  // outlive the store.
  static KillSwitchStore load(std::shared_ptr<StateFiles> files, FilterOps& filters);
  // The same for the directory at `state_dir`, reached by path.
  static KillSwitchStore load(const std::filesystem::path& state_dir, FilterOps& filters);

  KillSwitchStore(const KillSwitchStore&) = delete;
  KillSwitchStore& operator=(const KillSwitchStore&) = delete;

  // This process holds armed pins (they are installed).
  bool armed_in_memory() const;
  // A turn-off was asked for and the filters are not gone yet.
  bool off_pending() const;
  // The helper's filters were found in force with no state file behind them
  // and nothing armed or pending here (see check_stray_filters).
  bool stray_filters() const;
  // Who the kill switch is held for: `owned` when armed in memory, a turn-off
  // is pending, or killswitch.json this store read or wrote is there (at most
  // one look at the directory); `orphaned` when nothing of that holds but
  // stray filters do; else `off`. A state file from elsewhere counts for nothing.
  enum class Hold { off, owned, orphaned };
  Hold hold() const;
  // The kill switch holds the network, or may: hold() is not `off`.
  bool engaged() const { return hold() != Hold::off; }
  // killswitch.json is there, though this store neither read it at load nor
  // wrote it, and nothing is armed or pending: it appeared from elsewhere
  // while the helper ran, and is never enforced.
  bool foreign_file() const;
  // Deletes such a file. False when it stays.
  bool drop_foreign_file();
  // killswitch.json is there, this store read or wrote it, and nothing armed
  // it here (a restore that failed, a first arming that could not be undone).
  bool restore_owed() const;
  // A copy of the armed pins, absent when not armed in memory.
  std::optional<std::vector<Pin>> armed_pins() const;
  // killswitch.json is there as a regular file (any error, and anything else
  // at that name, counts as absent).
  bool state_file_exists() const;
  // The last state read from or written to the file.
  std::optional<ArmedState> saved_state() const;
  // The address saved for `host` (exact match), absent without saved state,
  // entry, or with an entry that is not an address.
  std::optional<IpAddress> saved_address(const std::string& host) const;

  // Arms the kill switch with `pins` (sorted, no duplicates) for `owner`,
  // adding `new_entries` to the saved host addresses. Writes the file first
  // ("killswitch_state"; a leftover disarm intent is removed right after it,
  // before any filter changes, so no later load can take back an arming that
  // has answered; saved hosts are bounded by kMaxSavedHosts), then installs
  // and checks the filters ("killswitch_failed"); memory changes only on
  // success. A turn-off that was pending stays pending, on disk too, when the
  // arming fails.
  Outcome arm(const std::string& owner, const std::vector<HostEntry>& new_entries, const std::vector<Pin>& pins);
  // Installs the filters without pins; on success the store is armed in
  // memory with no pins. Error: "killswitch_failed".
  Outcome restore_kill_switch();
  // Turns the kill switch off: killswitch.json is renamed to the intent (or,
  // when that name cannot be used, deleted), the filters are removed, the
  // intent dropped, and the armed state forgotten. Error "killswitch_failed":
  // the file can be neither moved nor deleted (file and filters stay), or the
  // filters cannot be removed (the intent is then written if no file was
  // moved there). Either way the turn-off stays pending (nothing here brings
  // the block back from it) and calling this again goes on.
  Outcome disarm_kill_switch();
  // A turn-off another process left pending (a --recover whose filters
  // stayed: killswitch.disarm there) becomes this store's own to complete;
  // its owner and addresses are read from the intent. True when one is pending.
  bool notice_pending_off();
  // Asks the filtering engine whether the helper's filters are in force while
  // nothing here accounts for them (no state file of its own, nothing armed
  // or pending), and remembers the answer; an engine that cannot be asked
  // changes nothing, or, with `unknown_counts` (the first look, at start,
  // when nothing else could tell), counts as filters there. Returns stray_filters().
  bool check_stray_filters(bool unknown_counts = false);

  // Writes `state` to killswitch.json through killswitch.tmp and a replacing
  // rename. Error: "killswitch_state".
  Outcome write_armed_state(const ArmedState& state) const;

 private:
  KillSwitchStore(std::shared_ptr<StateFiles> files, FilterOps& filters, std::optional<ArmedState> saved,
                  bool file_known, bool off_pending);

  void set_armed_pins(std::optional<std::vector<Pin>> pins);
  void set_saved_state(std::optional<ArmedState> state);
  void forget_armed_state();
  bool file_known() const;
  void set_flags(bool file_known, bool off_pending, bool stray);

  const std::shared_ptr<StateFiles> files_;
  FilterOps& filters_;
  mutable std::mutex armed_pins_mutex_;
  std::optional<std::vector<Pin>> armed_pins_;
  bool file_known_ = false;    // killswitch.json, when there, is one this store read or wrote
  bool off_pending_ = false;
  bool stray_filters_ = false;
  mutable std::mutex saved_state_mutex_;
  std::optional<ArmedState> saved_state_;
};

// The --recover path: moves killswitch.json to the disarm intent (a missing
// file, or something else than a file at that name, is fine; when the intent's
// name cannot be used the file is deleted instead; a file that can be neither
// stops here, before the filters are touched), then removes every filter, the
// sublayer and the provider, and drops the intent. When the filters stay, the
// intent stays too (written then if there was no file to move), and the next
// load or pass of a running helper completes the turn-off. Error: "killswitch_failed".
Outcome recover_kill_switch(StateFiles& files, FilterOps& filters);
// The same for the directory at `state_dir`, reached by path.
Outcome recover_kill_switch(const std::filesystem::path& state_dir, FilterOps& filters);

}  // namespace velk
