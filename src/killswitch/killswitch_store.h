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

class KillSwitchStore {
 public:
  // Reads killswitch.json from `files`; a missing, unreadable or malformed
  // file leaves the store without saved state. Installs nothing; never fails.
  // `filters` must outlive the store.
  static KillSwitchStore load(std::shared_ptr<StateFiles> files, FilterOps& filters);
  // The same for the directory at `state_dir`, reached by path.
  static KillSwitchStore load(const std::filesystem::path& state_dir, FilterOps& filters);

  KillSwitchStore(const KillSwitchStore&) = delete;
  KillSwitchStore& operator=(const KillSwitchStore&) = delete;

  // This process holds armed pins (they are installed).
  bool armed_in_memory() const;
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
  // ("killswitch_state"), then installs and checks the filters
  // ("killswitch_failed"); memory changes only on success.
  Outcome arm(const std::string& owner, const std::vector<HostEntry>& new_entries, const std::vector<Pin>& pins);
  // Installs the filters without pins; on success the store is armed in
  // memory with no pins. Error: "killswitch_failed".
  Outcome restore_kill_switch();
  // Deletes the file, removes the filters, then forgets the armed state. On
  // failure ("killswitch_failed": the file cannot be deleted, or the filters
  // cannot be removed and the file is put back) file, memory and filters stay.
  Outcome disarm_kill_switch();
  // Forgets the armed pins and the saved state (the file is already gone).
  void forget_armed_state();

  // Writes `state` to killswitch.json through killswitch.tmp and a replacing
  // rename. Error: "killswitch_state".
  Outcome write_armed_state(const ArmedState& state) const;

 private:
  KillSwitchStore(std::shared_ptr<StateFiles> files, FilterOps& filters, std::optional<ArmedState> saved);

  Outcome put_back_state_file(const std::string& bytes) const;
  void set_armed_pins(std::optional<std::vector<Pin>> pins);
  void set_saved_state(std::optional<ArmedState> state);

  const std::shared_ptr<StateFiles> files_;
  FilterOps& filters_;
  mutable std::mutex armed_pins_mutex_;
  std::optional<std::vector<Pin>> armed_pins_;
  mutable std::mutex saved_state_mutex_;
  std::optional<ArmedState> saved_state_;
};

// The --recover path: deletes killswitch.json (a missing file, or something
// else than a file at that name, is fine; a file that cannot be deleted stops
// here, before the filters are touched), then removes every filter, the
// sublayer and the provider. Error: "killswitch_failed".
Outcome recover_kill_switch(StateFiles& files, FilterOps& filters);
// The same for the directory at `state_dir`, reached by path.
Outcome recover_kill_switch(const std::filesystem::path& state_dir, FilterOps& filters);

}  // namespace velk
