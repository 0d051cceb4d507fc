#include "killswitch/killswitch_store.h"

#include <algorithm>
#include <iterator>
#include <system_error>
#include <utility>

#include "ipc/error_codes.h"

namespace velk {
namespace {

// Far above any real state file; a larger one is treated as unreadable.
constexpr std::size_t kMaxStateFileBytes = 16u << 20;

// Clears `name` of whatever is not a regular file (an empty directory, a link;
// never what a link points to), so a file can be put there. A non-empty
// directory stays, and the write that follows then fails.
void clear_non_file(StateFiles& files, std::string_view name) {
  if (files.kind(name) == StateEntry::other) (void)files.remove(name);
}

// Writes `bytes` to killswitch.json through killswitch.tmp and a replacing
// rename. The temporary file is always made anew: one found there (left by a
// crash, or put there by someone else) would keep its own owner and access
// list through the rename, and a directory there would stop every write.
bool write_state_bytes(StateFiles& files, std::string_view bytes, std::string_view target = kStateFileName) {
  clear_non_file(files, kStateTempName);
  if (files.remove(kStateTempName) == DeleteResult::failed) return false;
  if (!files.write_flushed(kStateTempName, bytes)) return false;
  clear_non_file(files, target);
  return files.replace(kStateTempName, target);
}

// No intent a load would act on is left: a file there is deleted; anything
// else at that name (a directory nobody could read as an intent) is cleared
// if it can be and otherwise ignored.
bool drop_intent(StateFiles& files) {
  clear_non_file(files, kDisarmIntentName);
  if (files.kind(kDisarmIntentName) != StateEntry::file) return true;
  return files.remove(kDisarmIntentName) != DeleteResult::failed;
}

// The first half of a turn-off. The state file goes before the filters: one
// that cannot be deleted (held open by someone) must not outlive them, or the
// kill switch would read armed with nothing in force. It is renamed to the
// intent, which keeps its bytes exactly (no read, no write, no space needed),
// so that from here until the intent is dropped a crash or a power cut leaves
// a turn-off the next load completes. When the intent's name cannot be used
// (something stands there that cannot be cleared), the file is deleted
// instead: turning off never depends on that name. Error: the file can be
// neither moved nor deleted; nothing has changed then.
Outcome move_state_file_aside(StateFiles& files) {
  clear_non_file(files, kStateFileName);
  if (files.kind(kStateFileName) != StateEntry::file) return {};
  clear_non_file(files, kDisarmIntentName);
  if (files.kind(kDisarmIntentName) != StateEntry::other && files.replace(kStateFileName, kDisarmIntentName)) {
    return {};
  }
  if (files.remove(kStateFileName) == DeleteResult::failed) return fail(err::killswitch_failed);
  return {};
}

// A turn-off whose filters stay, with no state file that could be moved to
// the intent's name (filters nobody owns; a file deleted or unusable): the
// intent is written all the same, so that a restart finds the turn-off
// pending instead of forgetting it. Best effort: nothing depends on it.
void record_pending_off(StateFiles& files, const ArmedState& state) {
  if (files.kind(kDisarmIntentName) == StateEntry::file) return;
  if (auto text = armed_state_to_json(state)) (void)write_state_bytes(files, *text, kDisarmIntentName);
}

// A turn-off was cut short (killswitch.disarm is there): complete it. A state
// file still there (written before a crash by an older release, or by hand)
// goes too; one that cannot be deleted wins, and the kill switch stays armed.
// True when the turn-off is still pending (the filters could not be removed).
bool finish_interrupted_disarm(StateFiles& files, FilterOps& filters) {
  clear_non_file(files, kStateFileName);
  if (files.kind(kStateFileName) == StateEntry::file && files.remove(kStateFileName) == DeleteResult::failed) {
    (void)drop_intent(files);
    return false;
  }
  if (!filters.remove_filters()) return true;
  (void)drop_intent(files);
  return false;
}

// `next` with at most kMaxSavedHosts hosts: saved hosts that `keep` does not
// name are dropped, in key order, until it fits.
void bound_saved_hosts(ArmedState& next, const std::vector<HostEntry>& keep) {
  for (auto it = next.pins.begin(); it != next.pins.end() && next.pins.size() > kMaxSavedHosts;) {
    const bool kept = std::any_of(keep.begin(), keep.end(), [&](const HostEntry& e) { return e.host == it->first; });
    it = kept ? std::next(it) : next.pins.erase(it);
  }
}

}  // namespace

KillSwitchStore KillSwitchStore::load(std::shared_ptr<StateFiles> files, FilterOps& filters) {
  bool off_pending = false;
  std::optional<ArmedState> saved;
  if (files->kind(kDisarmIntentName) == StateEntry::file) {
    off_pending = finish_interrupted_disarm(*files, filters);
    // Still pending: the intent holds the owner and addresses of the block in force.
    if (off_pending) {
      if (auto text = files->read(kDisarmIntentName, kMaxStateFileBytes)) saved = armed_state_from_json(*text);
    }
  }
  const bool file_there = !off_pending && files->kind(kStateFileName) == StateEntry::file;
  if (file_there) {
    if (auto text = files->read(kStateFileName, kMaxStateFileBytes)) saved = armed_state_from_json(*text);
  }
  return KillSwitchStore(std::move(files), filters, std::move(saved), file_there, off_pending);
}

KillSwitchStore KillSwitchStore::load(const std::filesystem::path& state_dir, FilterOps& filters) {
  return load(state_files_at(state_dir), filters);
}

KillSwitchStore::KillSwitchStore(std::shared_ptr<StateFiles> files, FilterOps& filters,
                                 std::optional<ArmedState> saved, bool file_known, bool off_pending)
    : files_(std::move(files)),
      filters_(filters),
      file_known_(file_known),
      off_pending_(off_pending),
      saved_state_(std::move(saved)) {}

bool KillSwitchStore::armed_in_memory() const {
  std::lock_guard lock(armed_pins_mutex_);
  return armed_pins_.has_value();
}

std::optional<std::vector<Pin>> KillSwitchStore::armed_pins() const {
  std::lock_guard lock(armed_pins_mutex_);
  return armed_pins_;
}

bool KillSwitchStore::off_pending() const {
  std::lock_guard lock(armed_pins_mutex_);
  return off_pending_;
}

bool KillSwitchStore::stray_filters() const {
  std::lock_guard lock(armed_pins_mutex_);
  return stray_filters_;
}

bool KillSwitchStore::file_known() const {
  std::lock_guard lock(armed_pins_mutex_);
  return file_known_;
}

KillSwitchStore::Hold KillSwitchStore::hold() const {
  bool known;
  bool stray;
  {
    std::lock_guard lock(armed_pins_mutex_);
    if (armed_pins_ || off_pending_) return Hold::owned;
    known = file_known_;
    stray = stray_filters_;
  }
  if (known && state_file_exists()) return Hold::owned;
  return stray ? Hold::orphaned : Hold::off;
}

bool KillSwitchStore::foreign_file() const {
  return !armed_in_memory() && !off_pending() && !file_known() && state_file_exists();
}

bool KillSwitchStore::drop_foreign_file() {
  clear_non_file(*files_, kStateFileName);
  if (files_->kind(kStateFileName) != StateEntry::file) return true;
  return files_->remove(kStateFileName) != DeleteResult::failed;
}

bool KillSwitchStore::restore_owed() const {
  return !armed_in_memory() && !off_pending() && file_known() && state_file_exists();
}

void KillSwitchStore::set_flags(bool file_known, bool off_pending, bool stray) {
  std::lock_guard lock(armed_pins_mutex_);
  file_known_ = file_known;
  off_pending_ = off_pending;
  stray_filters_ = stray;
}

bool KillSwitchStore::state_file_exists() const { return files_->kind(kStateFileName) == StateEntry::file; }

std::optional<ArmedState> KillSwitchStore::saved_state() const {
  std::lock_guard lock(saved_state_mutex_);
  return saved_state_;
}

std::optional<IpAddress> KillSwitchStore::saved_address(const std::string& host) const {
  std::string text;
  {
    std::lock_guard lock(saved_state_mutex_);
    if (!saved_state_) return std::nullopt;
    auto it = saved_state_->pins.find(host);
    if (it == saved_state_->pins.end()) return std::nullopt;
    text = it->second;
  }
  return IpAddress::parse(text);
}

void KillSwitchStore::set_armed_pins(std::optional<std::vector<Pin>> pins) {
  std::lock_guard lock(armed_pins_mutex_);
  armed_pins_ = std::move(pins);
}

void KillSwitchStore::set_saved_state(std::optional<ArmedState> state) {
  std::lock_guard lock(saved_state_mutex_);
  saved_state_ = std::move(state);
}

Outcome KillSwitchStore::write_armed_state(const ArmedState& state) const {
  // Nothing is written that the reader would refuse: such a file would read
  // back as engaged with no owner.
  auto text = armed_state_to_json(state);
  if (!text || text->size() > kMaxStateFileBytes || !armed_state_from_json(*text)) return fail(err::killswitch_state);
  if (!write_state_bytes(*files_, *text)) return fail(err::killswitch_state);
  return {};
}

Outcome KillSwitchStore::arm(const std::string& owner, const std::vector<HostEntry>& new_entries,
                             const std::vector<Pin>& pins) {
  ArmedState next;
  if (auto saved = saved_state()) next.pins = std::move(saved->pins);
  for (const auto& entry : new_entries) next.pins.insert_or_assign(entry.host, entry.address.to_string());
  bound_saved_hosts(next, new_entries);
  next.owner = owner;

  // Only a file of this store's own is one to keep; one from elsewhere is
  // written over, and goes again if the arming fails.
  const bool file_existed = file_known() && state_file_exists();
  const bool off_pending_before = off_pending();
  const bool stray_before = stray_filters();
  if (auto written = write_armed_state(next); !written) return written;
  set_flags(true, off_pending_before, stray_before);
  // A disarm intent left behind goes before any filter changes, or a later
  // load would finish that disarm and take this arming back. Until here a
  // crash leaves the turn-off pending, as the failed answer says.
  if (!drop_intent(*files_)) {
    if (!file_existed && files_->remove(kStateFileName) != DeleteResult::failed) {
      set_flags(false, off_pending_before, stray_before);
    }
    return fail(err::killswitch_state);
  }

  Outcome result = filters_.install_filters(pins);
  const bool installed = result.ok();
  if (installed && !filters_.filters_intact()) result = fail(err::killswitch_failed);
  if (result) {
    set_saved_state(std::move(next));
    set_armed_pins(pins);
    set_flags(true, false, false);
    return result;
  }

  // A turn-off that was pending is the user's last word: the new file goes
  // back to the intent's name (deleted when that name cannot be used), and the
  // watcher completes the turn-off, whatever filters are in force now.
  if (off_pending_before) {
    if (move_state_file_aside(*files_)) set_flags(false, true, false);
    return result;
  }
  // A failed first arming leaves nothing behind. When the install went through
  // but the check failed, the new filters are taken away again first; if they
  // cannot be, the file stays so the kill switch remains visibly engaged
  // (reported armed and removable by a stop) rather than blocking unseen.
  if (!file_existed && !armed_in_memory()) {
    const bool filters_gone = !installed || filters_.remove_filters().ok();
    if (filters_gone && files_->remove(kStateFileName) != DeleteResult::failed) {
      // Stray filters stay stray unless this removal took them away too.
      set_flags(false, off_pending_before, stray_before && !installed);
    }
  }
  return result;
}

Outcome KillSwitchStore::restore_kill_switch() {
  if (auto installed = filters_.install_filters({}); !installed) return installed;
  set_armed_pins(std::vector<Pin>{});
  return {};
}

Outcome KillSwitchStore::disarm_kill_switch() {
  // From here on the user's "off" stands, whatever the file and the filters
  // do: a failure below leaves it pending, and calling this again goes on.
  {
    std::lock_guard lock(armed_pins_mutex_);
    off_pending_ = true;
    stray_filters_ = false;
  }
  if (auto moved = move_state_file_aside(*files_); !moved) return moved;
  set_armed_pins(std::nullopt);
  set_flags(false, true, false);
  if (auto removed = filters_.remove_filters(); !removed) {
    record_pending_off(*files_, saved_state().value_or(ArmedState{}));
    return removed;
  }
  (void)drop_intent(*files_);
  forget_armed_state();
  return {};
}

bool KillSwitchStore::notice_pending_off() {
  if (off_pending()) return true;
  if (files_->kind(kDisarmIntentName) != StateEntry::file) return false;
  std::optional<ArmedState> saved;
  if (auto text = files_->read(kDisarmIntentName, kMaxStateFileBytes)) saved = armed_state_from_json(*text);
  if (saved) set_saved_state(std::move(saved));
  std::lock_guard lock(armed_pins_mutex_);
  off_pending_ = true;
  stray_filters_ = false;
  return true;
}

bool KillSwitchStore::check_stray_filters(bool unknown_counts) {
  {
    std::lock_guard lock(armed_pins_mutex_);
    if (armed_pins_ || off_pending_) return false;
  }
  auto present = filters_.filters_present();
  if (present || unknown_counts) {
    std::lock_guard lock(armed_pins_mutex_);
    stray_filters_ = present ? *present : true;
  }
  return stray_filters();
}

void KillSwitchStore::forget_armed_state() {
  set_armed_pins(std::nullopt);
  set_saved_state(std::nullopt);
  set_flags(false, false, false);
}

Outcome recover_kill_switch(StateFiles& files, FilterOps& filters) {
  // Something else than a file at that name is no state file: cleared if it
  // can be, and never a reason to leave the filters in force.
  if (auto moved = move_state_file_aside(files); !moved) return moved;
  // Filters that stay keep the intent (written now if there was no file to
  // move): the next start of the helper (or a running helper's next pass)
  // completes the turn-off.
  if (auto removed = filters.remove_filters(); !removed) {
    record_pending_off(files, ArmedState{});
    return removed;
  }
  (void)drop_intent(files);
  return {};
}

Outcome recover_kill_switch(const std::filesystem::path& state_dir, FilterOps& filters) {
  return recover_kill_switch(*state_files_at(state_dir), filters);
}

}  // namespace velk
