#pragma once
// --diagnose: what the helper and Windows hold, gathered in one read-only
// pass, and the disagreements between them, each with what fixes it.
//
// Nothing is changed: the state directory is judged with the look-only use
// and read through a read-only window, the filtering engine is only listed,
// the service only queried, the running helper asked for its status once.

#include <cstddef>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "diagnose/diagnose_system.h"
#include "diagnose/filter_check.h"
#include "killswitch/armed_state.h"

namespace velk {

// How the state directory was judged, as the helper's own opening judges it.
enum class StateDirVerdict {
  made_by_this_release,  // ours, with the marker of a fresh creation
  inspected,             // ours: looked at entry by entry
  would_be_moved_aside,  // the default path, not the helper's: its next start moves it aside
  not_protected,         // a directory given with --state-dir that is not the helper's: used as it stands
  missing,
  not_usable,            // something else stands there, or it cannot be opened
};
const char* to_string(StateDirVerdict verdict);

enum class SavedState { missing, valid, unreadable };
const char* to_string(SavedState saved);

enum class FileCheck { matches, differs, missing };
const char* to_string(FileCheck check);

struct InstalledFile {
  std::string name;
  FileCheck check = FileCheck::matches;
};

// One disagreement: what is wrong, and what fixes it.
struct Finding {
  std::string what;
  std::string fix;
};

struct LayerCount {
  std::size_t block = 0;
  std::size_t permit = 0;
  std::size_t other = 0;
};

struct Diagnosis {
  // The executable.
  std::string version;
  std::optional<std::filesystem::path> executable;
  bool elevated = false;
  // The service.
  ServiceFacts service;
  std::optional<std::filesystem::path> service_executable;  // from its command line
  bool service_is_this_executable = false;
  // The running helper.
  std::optional<Status> helper;
  // The state directory.
  std::filesystem::path state_dir;
  StateDirVerdict state_dir_verdict = StateDirVerdict::missing;
  std::vector<std::string> state_dir_entries;
  // The kill switch.
  SavedState saved = SavedState::missing;
  std::optional<ArmedState> armed;  // when saved is valid
  std::size_t pinned_addresses = 0;
  bool turn_off_pending = false;    // killswitch.disarm is there
  std::optional<std::uint64_t> tunnel_luid;
  bool filters_listed = false;
  std::vector<ListedFilter> filters;
  std::map<std::uint8_t, LayerCount> by_layer;
  FilterComparison comparison;
  // The installation.
  std::optional<std::filesystem::path> install_dir;
  bool manifest_read = false;
  std::vector<InstalledFile> files;
  std::vector<std::string> extra_files;
  std::vector<std::string> leftovers;  // .update-new, .update-old, .update-trash-N, the swap mark
  // install.log.
  std::vector<std::string> log_tail;

  std::vector<Finding> disagreements;
  std::optional<std::string> could_not_look;  // why the look was incomplete
};

// The lines of install.log shown.
inline constexpr std::size_t kLogTailLines = 12;

// Gathers everything about the state directory `state_dir` (`default_dir`:
// the default path, which the helper moves aside when it is not its own) and
// the system, and lists the disagreements.
Diagnosis diagnose(DiagnoseSystem& system, const std::filesystem::path& state_dir, bool default_dir);

// 0 everything agrees, 1 something disagrees, 2 it could not look.
int exit_code(const Diagnosis& diagnosis);

// The disagreements of a gathered diagnosis (disagreements.cpp).
std::vector<Finding> find_disagreements(const Diagnosis& d);

// The report (diagnose_report.cpp): disagreements first, then every section.
std::string report_text(const Diagnosis& d);
// The same content as one JSON document (diagnose_json.cpp), with a line feed.
std::string report_json(const Diagnosis& d);

}  // namespace velk
