#include "killswitch/killswitch_store.h"

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
bool write_state_bytes(StateFiles& files, std::string_view bytes) {
  clear_non_file(files, kStateTempName);
  if (files.remove(kStateTempName) == DeleteResult::failed) return false;
  if (!files.write_flushed(kStateTempName, bytes)) return false;
  clear_non_file(files, kStateFileName);
  return files.replace(kStateTempName, kStateFileName);
}

bool drop_intent(StateFiles& files) {
  clear_non_file(files, kDisarmIntentName);
  return files.remove(kDisarmIntentName) != DeleteResult::failed;
}

// The first half of a disarm. The state file goes before the filters: one
// that cannot be deleted (held open by someone) must not outlive them, or the
// kill switch would read armed with nothing in force. Before it goes, its
// bytes are flushed into the intent, so that from here until the intent is
// dropped a crash or a power cut leaves a disarm the next load finishes.
// The bytes to put back if the filters stay; absent when there was no state
// file (no intent is written then: nothing can read off while the filters
// are in force). Error: the intent cannot be written or the file cannot be
// deleted; nothing has changed then.
Result<std::optional<std::string>> delete_state_file_under_intent(StateFiles& files) {
  clear_non_file(files, kStateFileName);
  if (files.kind(kStateFileName) != StateEntry::file) return std::optional<std::string>();
  // An unreadable file is put back empty: still engaged, with no owner.
  std::string bytes = files.read(kStateFileName, kMaxStateFileBytes).value_or("");
  // An old intent goes first, so a power cut during the write leaves that one
  // whole rather than a torn one.
  if (!drop_intent(files) || !files.write_flushed(kDisarmIntentName, bytes)) return fail(err::killswitch_failed);
  if (files.remove(kStateFileName) == DeleteResult::failed) {
    (void)drop_intent(files);
    return fail(err::killswitch_failed);
  }
  return std::optional<std::string>(std::move(bytes));
}

// A disarm was cut short (killswitch.disarm is there): finish it, or, when the
// filters cannot be removed, put the state file back whole so the kill switch
// reads armed. The intent goes only once one of the two has happened.
void finish_interrupted_disarm(StateFiles& files, FilterOps& filters) {
  // The state file, when it is still there, is what to put back.
  std::optional<std::string> bytes = files.read(kStateFileName, kMaxStateFileBytes);
  if (!bytes) bytes = files.read(kDisarmIntentName, kMaxStateFileBytes);
  clear_non_file(files, kStateFileName);
  if (files.kind(kStateFileName) == StateEntry::file && files.remove(kStateFileName) == DeleteResult::failed) {
    (void)drop_intent(files);  // the file stays, and with the filters the kill switch stays armed
    return;
  }
  if (filters.remove_filters() || (bytes && write_state_bytes(files, *bytes))) (void)drop_intent(files);
}

}  // namespace

KillSwitchStore KillSwitchStore::load(std::shared_ptr<StateFiles> files, FilterOps& filters) {
  if (files->kind(kDisarmIntentName) == StateEntry::file) finish_interrupted_disarm(*files, filters);
  std::optional<ArmedState> saved;
  if (auto text = files->read(kStateFileName, kMaxStateFileBytes)) saved = armed_state_from_json(*text);
  return KillSwitchStore(std::move(files), filters, std::move(saved));
}

KillSwitchStore KillSwitchStore::load(const std::filesystem::path& state_dir, FilterOps& filters) {
  return load(state_files_at(state_dir), filters);
}

KillSwitchStore::KillSwitchStore(std::shared_ptr<StateFiles> files, FilterOps& filters,
                                 std::optional<ArmedState> saved)
    : files_(std::move(files)), filters_(filters), saved_state_(std::move(saved)) {}

bool KillSwitchStore::armed_in_memory() const {
  std::lock_guard lock(armed_pins_mutex_);
  return armed_pins_.has_value();
}

std::optional<std::vector<Pin>> KillSwitchStore::armed_pins() const {
  std::lock_guard lock(armed_pins_mutex_);
  return armed_pins_;
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
  auto text = armed_state_to_json(state);
  if (!text || !write_state_bytes(*files_, *text)) return fail(err::killswitch_state);
  return {};
}

Outcome KillSwitchStore::arm(const std::string& owner, const std::vector<HostEntry>& new_entries,
                             const std::vector<Pin>& pins) {
  ArmedState next;
  if (auto saved = saved_state()) next.pins = std::move(saved->pins);
  for (const auto& entry : new_entries) next.pins.insert_or_assign(entry.host, entry.address.to_string());
  next.owner = owner;

  const bool file_existed = state_file_exists();
  // A disarm intent left behind must go before the new file is written, or a
  // later load would finish that disarm and take this arming back.
  if (!drop_intent(*files_)) return fail(err::killswitch_state);
  if (auto written = write_armed_state(next); !written) return written;

  Outcome result = filters_.install_filters(pins);
  const bool installed = result.ok();
  if (installed && !filters_.filters_intact()) result = fail(err::killswitch_failed);
  if (result) {
    set_saved_state(std::move(next));
    set_armed_pins(pins);
    return result;
  }

  // A failed first arming leaves nothing behind. When the install went through
  // but the check failed, the new filters are taken away again first; if they
  // cannot be, the file stays so the kill switch remains visibly engaged
  // (reported armed and removable by a stop) rather than blocking unseen.
  if (!file_existed && !armed_in_memory()) {
    const bool filters_gone = !installed || filters_.remove_filters().ok();
    if (filters_gone) (void)files_->remove(kStateFileName);
  }
  return result;
}

Outcome KillSwitchStore::restore_kill_switch() {
  if (auto installed = filters_.install_filters({}); !installed) return installed;
  set_armed_pins(std::vector<Pin>{});
  return {};
}

Outcome KillSwitchStore::disarm_kill_switch() {
  auto deleted = delete_state_file_under_intent(*files_);
  if (!deleted) return fail(deleted.error());
  if (auto removed = filters_.remove_filters(); !removed) {
    // The filters stay, and so does the kill switch: the file goes back. If
    // even that fails, the intent stays for the next load to settle.
    if (*deleted && write_state_bytes(*files_, **deleted)) (void)drop_intent(*files_);
    return removed;
  }
  (void)drop_intent(*files_);
  forget_armed_state();
  return {};
}

void KillSwitchStore::forget_armed_state() {
  set_armed_pins(std::nullopt);
  set_saved_state(std::nullopt);
}

Outcome recover_kill_switch(StateFiles& files, FilterOps& filters) {
  // Something else than a file at that name is no state file: cleared if it
  // can be, and never a reason to leave the filters in force.
  if (auto deleted = delete_state_file_under_intent(files); !deleted) return fail(deleted.error());
  // Filters that stay keep the intent: the next start of the helper finishes
  // the removal, or puts the file back.
  if (auto removed = filters.remove_filters(); !removed) return removed;
  (void)drop_intent(files);
  return {};
}

Outcome recover_kill_switch(const std::filesystem::path& state_dir, FilterOps& filters) {
  return recover_kill_switch(*state_files_at(state_dir), filters);
}

}  // namespace velk
