#include "platform/state_dir.h"

#include <algorithm>
#include <array>
#include <cstdint>

#include "killswitch/killswitch_store.h"
#include "platform/random.h"
#include "platform/text.h"

namespace velk {
namespace {

// Someone re-creating the name between two looks gets a few rounds, not a loop.
constexpr int kOpenRounds = 4;

std::string sddl_sid(const std::string& sid) {
  if (sid == kLocalSystemSid) return "SY";
  if (sid == kAdministratorsSid) return "BA";
  return sid;
}

bool real_directory(const PathInfo& info) { return info.kind == EntryKind::directory && !info.reparse_point; }

bool trusted_owner(const std::optional<std::string>& owner, const std::optional<std::string>& emulated_owner) {
  if (!owner) return false;
  if (emulated_owner) return *owner == *emulated_owner;
  return *owner == kLocalSystemSid || *owner == kAdministratorsSid;
}

// Whether what the held handle shows can be used as the state directory: our
// descriptor, and inside the marker that only a fresh creation writes.
bool trusted(HeldDir& held, const std::optional<std::string>& emulated_owner) {
  return is_our_state_dir(held.info(), emulated_owner) &&
         is_trusted_entry(held.entry(kFreshDirMarker), emulated_owner);
}

constexpr std::size_t kMaxCarriedBytes = 16u << 20;  // as the kill switch reads it

// The saved kill switch of a real directory about to be moved aside, when it
// may be carried into the fresh one: a regular file with one link, owned by
// LocalSystem or Administrators, that the strict reader accepts, all judged
// on the handle it was read through.
std::optional<std::string> carried_state(HeldDir* held, const std::optional<std::string>& emulated_owner) {
  if (held == nullptr || !real_directory(held->info())) return std::nullopt;
  std::optional<ReadEntry> found = held->read_entry(kStateFileName, kMaxCarriedBytes);
  if (!found || !is_trusted_entry(found->info, emulated_owner) || !armed_state_from_json(found->bytes)) {
    return std::nullopt;
  }
  return std::move(found->bytes);
}

// Written as the kill switch writes it: flushed under its temporary name, then renamed.
void carry_into(HeldDir& fresh, const std::string& state) {
  if (fresh.write_flushed(kStateTempName, state)) (void)fresh.replace(kStateTempName, kStateFileName);
}

constexpr std::string_view kAsideEnd = ".untrusted";
constexpr std::size_t kAsideDigits = 16;

OpenedStateDir opened(std::shared_ptr<StateFiles> files, std::string message = {}) {
  return OpenedStateDir{std::move(files), false, std::move(message)};
}

OpenedStateDir none() { return opened(no_state_files()); }

OpenedStateDir failure(const std::filesystem::path& dir, std::string_view why) {
  return OpenedStateDir{no_state_files(), true,
                        "velkvpn-helper: the state directory " + utf8_from_path(dir) + " " + std::string(why) +
                            "; going on without it\n"};
}

std::string warning_not_ours(const std::filesystem::path& dir) {
  return "velkvpn-helper: warning: the state directory " + utf8_from_path(dir) +
         " is not protected by the helper; it is used as it stands\n";
}

// What a directory that was found (not created) gives for a use other than
// the default one, where nothing is moved or secured.
OpenedStateDir as_it_stands(const std::filesystem::path& dir, StateDirUse use, std::unique_ptr<HeldDir> held) {
  if (use == StateDirUse::look_only) {
    if (!held || !real_directory(held->info())) return none();
    return opened(read_only_state_files(std::move(held)));
  }
  if (!held || !real_directory(held->info())) return failure(dir, "is not a directory it can use");
  return opened(std::move(held), warning_not_ours(dir));
}

}  // namespace

DirSecurity state_dir_security() {
  DirSecurity security;
  security.owner = std::string(kAdministratorsSid);
  security.protected_dacl = true;
  for (std::string_view sid : {kLocalSystemSid, kAdministratorsSid}) {
    security.entries.push_back(AccessEntry{std::string(sid), true, true, true});
  }
  return security;
}

std::string to_sddl(const DirSecurity& security) {
  std::string text = "O:" + sddl_sid(security.owner) + "D:";
  if (security.protected_dacl) text += "P";
  for (const AccessEntry& entry : security.entries) {
    std::string flags;
    if (entry.object_inherit) flags += "OI";
    if (entry.container_inherit) flags += "CI";
    text += "(A;" + flags + ";" + (entry.full_control ? "FA" : "") + ";;;" + sddl_sid(entry.sid) + ")";
  }
  return text;
}

bool is_our_state_dir(const PathInfo& info, const std::optional<std::string>& emulated_owner) {
  if (!real_directory(info) || !info.security) return false;
  const DirSecurity& found = *info.security;
  if (emulated_owner) return found.owner == *emulated_owner;
  if (found.owner != kLocalSystemSid && found.owner != kAdministratorsSid) return false;
  DirSecurity expected = state_dir_security();
  expected.owner = found.owner;
  return found == expected;
}

bool is_trusted_entry(const EntryInfo& entry, const std::optional<std::string>& emulated_owner) {
  return entry.kind == EntryKind::file && !entry.reparse_point && entry.links == 1 &&
         trusted_owner(entry.owner, emulated_owner);
}

std::filesystem::path aside_path(const std::filesystem::path& dir, std::string_view suffix) {
  std::filesystem::path aside = dir;
  aside += path_from_utf8("." + std::string(suffix) + std::string(kAsideEnd));
  return aside;
}

bool is_aside_name(const std::filesystem::path& dir, std::string_view name) {
  const std::string base = utf8_from_path(dir.filename()) + ".";
  if (base.size() == 1 || name.size() != base.size() + kAsideDigits + kAsideEnd.size()) return false;
  if (!name.starts_with(base) || !name.ends_with(kAsideEnd)) return false;
  const std::string_view digits = name.substr(base.size(), kAsideDigits);
  return std::all_of(digits.begin(), digits.end(),
                     [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

void clean_out_moved_aside(const std::filesystem::path& dir, StateDirSystem& system) {
  const std::filesystem::path parent = dir.parent_path();
  for (const std::string& name : system.names_in(parent)) {
    if (is_aside_name(dir, name)) system.delete_tree(parent / path_from_utf8(name));
  }
}

OpenedStateDir open_state_dir(const std::filesystem::path& dir, StateDirUse use, StateDirSystem& system) {
  const std::optional<std::string> emulated = system.emulated_owner();
  std::optional<std::string> carried;  // from what was moved aside
  for (int round = 0; round < kOpenRounds; ++round) {
    std::unique_ptr<HeldDir> held;
    if (system.inspect(dir).kind == EntryKind::missing) {
      if (use == StateDirUse::look_only) return none();
      if (!system.create_parents(dir)) return failure(dir, "cannot be created");
      if (!system.create_directory(dir, state_dir_security())) {
        if (system.inspect(dir).kind == EntryKind::missing) return failure(dir, "cannot be created");
        continue;  // the name appeared meanwhile
      }
      held = system.open_held(dir);
      // Ours only if what the handle shows is what was just made. The marker
      // tells later openings so; where it could not be written they move
      // this directory aside in turn.
      if (held && is_our_state_dir(held->info(), emulated)) {
        (void)held->write_flushed(kFreshDirMarker, {});
        if (carried) carry_into(*held, *carried);
        if (use == StateDirUse::default_dir) held->set_helpers_own();
        return opened(std::move(held));
      }
      if (use != StateDirUse::default_dir) return failure(dir, "was replaced while it was made");
    } else {
      held = system.open_held(dir);
      if (held && trusted(*held, emulated)) {
        if (use == StateDirUse::default_dir) held->set_helpers_own();
        return opened(std::move(held));
      }
      if (use != StateDirUse::default_dir) return as_it_stands(dir, use, std::move(held));
    }
    // Not ours, at the default path: out of the way with it, whatever it is.
    if (!carried) carried = carried_state(held.get(), emulated);
    held.reset();
    const std::string suffix = system.random_hex();
    if (suffix.empty()) return failure(dir, "cannot be moved aside");
    // Only renamed here: the service deletes it once it runs.
    if (!system.move_aside(dir, aside_path(dir, suffix))) {
      return failure(dir, "is not the helper's and cannot be moved aside");
    }
  }
  return failure(dir, "keeps changing");
}

OpenedStateDir open_state_dir(const std::filesystem::path& dir, StateDirUse use) {
  std::unique_ptr<StateDirSystem> system = make_state_dir_system();
  return open_state_dir(dir, use, *system);
}

void clean_out_moved_aside(const std::filesystem::path& dir) {
  std::unique_ptr<StateDirSystem> system = make_state_dir_system();
  clean_out_moved_aside(dir, *system);
}

std::string system_random_hex() {
  std::array<std::uint8_t, 8> bytes{};
  if (!fill_random(bytes)) return {};
  return hex_lower(bytes);
}

StateDirUse state_dir_use(bool given) { return given ? StateDirUse::given_dir : StateDirUse::default_dir; }

}  // namespace velk
