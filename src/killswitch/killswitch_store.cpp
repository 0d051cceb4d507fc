#include "killswitch/killswitch_store.h"

#include <system_error>
#include <utility>

#include "ipc/error_codes.h"
#include "platform/durable_file.h"

namespace velk {
namespace {

// Far above any real state file; a larger one is treated as unreadable.
constexpr std::size_t kMaxStateFileBytes = 16u << 20;

// Only a regular file at killswitch.json is a state file: a directory, a link
// or anything else there was not written by the helper.
bool is_state_file(const std::filesystem::path& path) {
  std::error_code ec;
  return std::filesystem::symlink_status(path, ec).type() == std::filesystem::file_type::regular;
}

// Clears `path` of whatever is not a regular file (an empty directory, a link;
// never what a link points to), so a file can be put there. A non-empty
// directory stays, and the write that follows then fails.
void clear_non_file(const std::filesystem::path& path) {
  std::error_code ec;
  const auto type = std::filesystem::symlink_status(path, ec).type();
  if (ec || type == std::filesystem::file_type::not_found || type == std::filesystem::file_type::regular) return;
  (void)std::filesystem::remove(path, ec);
}

}  // namespace

KillSwitchStore KillSwitchStore::load(const std::filesystem::path& state_dir, FilterOps& filters) {
  std::filesystem::path path = state_dir / kStateFileName;
  std::optional<ArmedState> saved;
  if (auto text = read_small_file(path, kMaxStateFileBytes)) saved = armed_state_from_json(*text);
  return KillSwitchStore(std::move(path), filters, std::move(saved));
}

KillSwitchStore::KillSwitchStore(std::filesystem::path state_path, FilterOps& filters,
                                 std::optional<ArmedState> saved)
    : state_path_(std::move(state_path)), filters_(filters), saved_state_(std::move(saved)) {}

bool KillSwitchStore::armed_in_memory() const {
  std::lock_guard lock(armed_pins_mutex_);
  return armed_pins_.has_value();
}

std::optional<std::vector<Pin>> KillSwitchStore::armed_pins() const {
  std::lock_guard lock(armed_pins_mutex_);
  return armed_pins_;
}

bool KillSwitchStore::state_file_exists() const { return is_state_file(state_path_); }

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
  std::error_code ec;
  std::filesystem::create_directories(state_path_.parent_path(), ec);
  if (ec) return fail(err::killswitch_state);
  std::filesystem::path temp = state_path_;
  temp.replace_extension("tmp");
  // The temporary file is always made anew: one found there (left by a crash,
  // or put there by someone else) would keep its own owner and access list
  // through the rename, and a directory there would stop every write.
  clear_non_file(temp);
  if (delete_file(temp) == DeleteResult::failed) return fail(err::killswitch_state);
  if (!write_file_flushed(temp, *text)) return fail(err::killswitch_state);
  clear_non_file(state_path_);
  if (!replace_file(temp, state_path_)) return fail(err::killswitch_state);
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
    if (filters_gone) (void)delete_file(state_path_);
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
  const std::optional<std::string> kept = read_small_file(state_path_, kMaxStateFileBytes);
  if (delete_file(state_path_) == DeleteResult::failed) return fail(err::killswitch_failed);
  if (auto removed = filters_.remove_filters(); !removed) {
    if (kept) (void)put_back_state_file(*kept);
    return removed;
  }
  forget_armed_state();
  return {};
}

Outcome KillSwitchStore::put_back_state_file(const std::string& bytes) const {
  std::filesystem::path temp = state_path_;
  temp.replace_extension("tmp");
  if (!write_file_flushed(temp, bytes) || !replace_file(temp, state_path_)) return fail(err::killswitch_state);
  return {};
}

void KillSwitchStore::forget_armed_state() {
  set_armed_pins(std::nullopt);
  set_saved_state(std::nullopt);
}

Outcome recover_kill_switch(const std::filesystem::path& state_dir, FilterOps& filters) {
  const std::filesystem::path state_path = state_dir / kStateFileName;
  // Something else than a file at that name is no state file: cleared if it
  // can be, and never a reason to leave the filters in force.
  clear_non_file(state_path);
  if (is_state_file(state_path) && delete_file(state_path) == DeleteResult::failed) {
    return fail(err::killswitch_failed);
  }
  return filters.remove_filters();
}

}  // namespace velk
