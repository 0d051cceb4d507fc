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

}  // namespace

KillSwitchStore KillSwitchStore::load(std::shared_ptr<StateFiles> files, FilterOps& filters) {
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
  if (!text) return fail(err::killswitch_state);
  // The temporary file is always made anew: one found there (left by a crash,
  // or put there by someone else) would keep its own owner and access list
  // through the rename, and a directory there would stop every write.
  clear_non_file(*files_, kStateTempName);
  if (files_->remove(kStateTempName) == DeleteResult::failed) return fail(err::killswitch_state);
  if (!files_->write_flushed(kStateTempName, *text)) return fail(err::killswitch_state);
  clear_non_file(*files_, kStateFileName);
  if (!files_->replace(kStateTempName, kStateFileName)) return fail(err::killswitch_state);
  return {};
}

Outcome KillSwitchStore::arm(const std::string& owner, const std::vector<HostEntry>& new_entries,
                             const std::vector<Pin>& pins) {
  ArmedState next;
  if (auto saved = saved_state()) next.pins = std::move(saved->pins);
  for (const auto& entry : new_entries) next.pins.insert_or_assign(entry.host, entry.address.to_string());
  next.owner = owner;

  const bool file_existed = state_file_exists();
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
  // The file goes first: one that cannot be deleted (held open by someone)
  // must not outlive the filters, or the kill switch would read armed with
  // nothing in force. Its bytes are kept to put it back if the filters stay.
  const std::optional<std::string> kept = files_->read(kStateFileName, kMaxStateFileBytes);
  clear_non_file(*files_, kStateFileName);
  if (files_->kind(kStateFileName) == StateEntry::file && files_->remove(kStateFileName) == DeleteResult::failed) {
    return fail(err::killswitch_failed);
  }
  if (auto removed = filters_.remove_filters(); !removed) {
    if (kept) (void)put_back_state_file(*kept);
    return removed;
  }
  forget_armed_state();
  return {};
}

Outcome KillSwitchStore::put_back_state_file(const std::string& bytes) const {
  if (!files_->write_flushed(kStateTempName, bytes) || !files_->replace(kStateTempName, kStateFileName)) {
    return fail(err::killswitch_state);
  }
  return {};
}

void KillSwitchStore::forget_armed_state() {
  set_armed_pins(std::nullopt);
  set_saved_state(std::nullopt);
}

Outcome recover_kill_switch(StateFiles& files, FilterOps& filters) {
  // Something else than a file at that name is no state file: cleared if it
  // can be, and never a reason to leave the filters in force.
  clear_non_file(files, kStateFileName);
  if (files.kind(kStateFileName) == StateEntry::file && files.remove(kStateFileName) == DeleteResult::failed) {
    return fail(err::killswitch_failed);
  }
  return filters.remove_filters();
}

Outcome recover_kill_switch(const std::filesystem::path& state_dir, FilterOps& filters) {
  return recover_kill_switch(*state_files_at(state_dir), filters);
}

}  // namespace velk
