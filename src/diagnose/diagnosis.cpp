#include "diagnose/diagnosis.h"

#include <algorithm>
#include <set>
#include <system_error>

#include "install/file_steps.h"
#include "install/install_log.h"
#include "install/manifest.h"
#include "install/manifest_file.h"
#include "install/swap_mark.h"
#include "killswitch/killswitch_store.h"
#include "platform/sha256.h"
#include "platform/text.h"
#include "platform/version.h"
#include "platform/windows_args.h"
#include "service/helper_config.h"
#include "wfp/filter_listing.h"
#include "wfp/filter_rules.h"

namespace velk {
namespace {

namespace fs = std::filesystem;

// Large enough for any file the helper writes there.
constexpr std::size_t kMaxReadBytes = 16u << 20;
constexpr std::size_t kMaxListedEntries = 256;

// The state directory judged by the helper's own opening, used only to look:
// what it trusts comes back held, anything else as a read-only window or none.
std::shared_ptr<StateFiles> judge_state_dir(Diagnosis& d, StateDirSystem& system, bool default_dir) {
  const PathInfo info = system.inspect(d.state_dir);
  if (info.kind == EntryKind::missing) {
    d.state_dir_verdict = StateDirVerdict::missing;
    return no_state_files();
  }
  OpenedStateDir opened = open_state_dir(d.state_dir, StateDirUse::look_only, system);
  if (auto* held = dynamic_cast<HeldDir*>(opened.files.get())) {
    const bool marked = is_trusted_entry(held->entry(kFreshDirMarker), system.emulated_owner());
    d.state_dir_verdict = marked ? StateDirVerdict::made_by_this_release : StateDirVerdict::inspected;
    if (auto names = held->names(kMaxListedEntries)) d.state_dir_entries = std::move(*names);
    std::sort(d.state_dir_entries.begin(), d.state_dir_entries.end());
    return read_only_state_files(std::move(opened.files));
  }
  const bool directory = info.kind == EntryKind::directory && !info.reparse_point;
  if (default_dir) {
    d.state_dir_verdict = StateDirVerdict::would_be_moved_aside;
  } else {
    d.state_dir_verdict = directory ? StateDirVerdict::not_protected : StateDirVerdict::not_usable;
  }
  return read_only_state_files(std::move(opened.files));
}

void read_kill_switch(Diagnosis& d, StateFiles& files) {
  d.turn_off_pending = files.kind(kDisarmIntentName) == StateEntry::file;
  if (files.kind(kStateFileName) == StateEntry::missing) return;
  std::optional<std::string> text = files.read(kStateFileName, kMaxReadBytes);
  d.armed = text ? armed_state_from_json(*text) : std::nullopt;
  d.saved = d.armed ? SavedState::valid : SavedState::unreadable;
  if (!d.armed) return;
  std::set<std::string> addresses;
  for (const auto& [host, address] : d.armed->pins) addresses.insert(address);
  d.pinned_addresses = addresses.size();
}

std::vector<IpAddress> saved_addresses(const Diagnosis& d) {
  std::vector<IpAddress> out;
  if (!d.armed) return out;
  for (const auto& [host, address] : d.armed->pins) {
    if (auto ip = IpAddress::parse(address)) out.push_back(*ip);
  }
  return out;
}

void read_filters(Diagnosis& d, WfpApi& api) {
  d.tunnel_luid = api.interface_luid(kTunnelAlias);
  Result<std::vector<ListedFilter>> listed = list_kill_switch_filters(api);
  if (!listed) {
    d.could_not_look = "the filtering engine cannot be reached";
    return;
  }
  d.filters_listed = true;
  d.filters = std::move(*listed);
  for (const ListedFilter& f : d.filters) {
    LayerCount& count = d.by_layer[f.spec.layer];
    if (f.spec.action == wfp::kActionBlock) {
      ++count.block;
    } else if (f.spec.action == wfp::kActionPermit) {
      ++count.permit;
    } else {
      ++count.other;
    }
  }
  FilterExpectation expected{saved_addresses(d), d.tunnel_luid, std::nullopt, d.helper && d.helper->wanted};
  if (d.install_dir) expected.engine_app_id = api.app_id_from_file_name(*d.install_dir / path_from_utf8(kEngineFileName));
  d.comparison = compare_filters(d.filters, expected);
}

// The executable of a registered command line: its program argument, split
// as Windows splits it.
std::optional<fs::path> executable_of(const std::string& command_line) {
  const std::vector<std::u16string> args = split_windows_command_line(utf16_from_utf8(command_line));
  if (args.empty() || args.front().empty()) return std::nullopt;
  return path_from_utf8(utf8_from_utf16(args.front()));
}

// Two names of one file to Windows, letter case aside.
bool same_name(std::string_view a, std::string_view b) { return fold_file_name(a) == fold_file_name(b); }

FileCheck check_file(const fs::path& file, const ManifestEntry& entry) {
  std::error_code ec;
  if (!fs::is_regular_file(file, ec)) return FileCheck::missing;
  Sha256 hash;
  std::uint64_t size = 0;
  const bool read = read_file_chunks(file, [&](std::string_view chunk) {
    size += chunk.size();
    hash.update(chunk);
  });
  if (!read || size != entry.size) return FileCheck::differs;
  const std::optional<Sha256::Digest> digest = hash.finish();
  return digest && hex_lower(*digest) == entry.sha256 ? FileCheck::matches : FileCheck::differs;
}

bool is_leftover(const std::string& name) {
  return same_name(name, kStageDirName) || same_name(name, kSavedDirName) ||
         fold_file_name(name).starts_with(fold_file_name(kTrashDirPrefix)) ||
         fold_file_name(name).starts_with(fold_file_name(kSwapMarkFileName));
}

void read_installation(Diagnosis& d, StateFiles& state) {
  if (!d.install_dir) return;
  const fs::path& dir = *d.install_dir;
  std::vector<std::string> names;
  std::error_code ec;
  for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    names.push_back(utf8_from_path(it->path().filename()));
  }
  std::sort(names.begin(), names.end());
  const std::optional<std::vector<ManifestEntry>> entries = read_manifest(dir);
  d.manifest_read = entries.has_value();
  std::set<std::u32string> listed{fold_file_name(kManifestFileName)};
  if (entries) {
    for (const ManifestEntry& e : *entries) {
      listed.insert(fold_file_name(e.name));
      d.files.push_back({e.name, check_file(dir / path_from_utf8(e.name), e)});
    }
  }
  for (const std::string& name : names) {
    if (is_leftover(name)) {
      d.leftovers.push_back(name);
    } else if (entries && !listed.contains(fold_file_name(name))) {
      d.extra_files.push_back(name);
    }
  }
  if (state.read(kSwapMarkName, kMaxReadBytes).value_or("").size() > 0) d.leftovers.push_back(std::string(kSwapMarkName));
}

std::vector<std::string> last_lines(const std::string& text, std::size_t count) {
  std::vector<std::string> lines;
  std::size_t at = 0;
  while (at < text.size()) {
    std::size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(at, end - at);
    if (line.ends_with('\r')) line.pop_back();
    lines.push_back(std::move(line));
    at = end + 1;
  }
  if (lines.size() > count) lines.erase(lines.begin(), lines.end() - static_cast<std::ptrdiff_t>(count));
  return lines;
}

}  // namespace

Diagnosis diagnose(DiagnoseSystem& system, const fs::path& state_dir, bool default_dir) {
  Diagnosis d;
  d.version = std::string(kVersion);
  d.executable = system.executable_path();
  d.elevated = system.elevated().value_or(false);

  d.service = system.service();
  if (d.service.open_error != 0) {
    d.could_not_look = "the service manager cannot be asked (error " + std::to_string(d.service.open_error) + ")";
  }
  if (d.service.command_line) d.service_executable = executable_of(*d.service.command_line);
  if (d.service_executable) {
    d.install_dir = d.service_executable->parent_path();
    d.service_is_this_executable = d.executable && same_name(utf8_from_path(*d.executable), utf8_from_path(*d.service_executable));
  }
  d.helper = system.helper_status();

  d.state_dir = state_dir;
  const std::shared_ptr<StateFiles> files = judge_state_dir(d, system.state_dirs(), default_dir);
  read_kill_switch(d, *files);
  read_filters(d, system.filtering());
  read_installation(d, *files);
  if (std::optional<std::string> log = files->read(kInstallLogName, kMaxReadBytes)) {
    d.log_tail = last_lines(*log, kLogTailLines);
  }
  d.disagreements = find_disagreements(d);
  return d;
}

int exit_code(const Diagnosis& d) {
  if (d.could_not_look) return 2;
  return d.disagreements.empty() ? 0 : 1;
}

const char* to_string(StateDirVerdict verdict) {
  switch (verdict) {
    case StateDirVerdict::made_by_this_release: return "made by this release";
    case StateDirVerdict::inspected: return "inspected";
    case StateDirVerdict::would_be_moved_aside: return "would be moved aside";
    case StateDirVerdict::not_protected: return "not protected, used as it stands";
    case StateDirVerdict::missing: return "missing";
    case StateDirVerdict::not_usable: return "not usable";
  }
  return "?";
}

const char* to_string(SavedState saved) {
  switch (saved) {
    case SavedState::missing: return "missing";
    case SavedState::valid: return "valid";
    case SavedState::unreadable: return "unreadable";
  }
  return "?";
}

const char* to_string(FileCheck check) {
  switch (check) {
    case FileCheck::matches: return "matches";
    case FileCheck::differs: return "differs";
    case FileCheck::missing: return "missing";
  }
  return "?";
}

}  // namespace velk
