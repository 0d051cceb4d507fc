// The report as text: a head line, the disagreements (one line each: what
// is wrong and what fixes it), then one section per part looked at. Nothing secret is printed: the
// running helper's status carries none, and of killswitch.json only the
// owner and counts are shown.

#include <string>

#include "diagnose/diagnosis.h"
#include "install/service_manager.h"
#include "platform/text.h"

namespace velk {
namespace {

std::string service_state_name(std::uint32_t state) {
  static constexpr const char* kNames[] = {"?", "stopped", "start pending", "stop pending", "running",
                                           "continue pending", "pause pending", "paused"};
  return state < std::size(kNames) ? kNames[state] : "state " + std::to_string(state);
}

std::string plural(std::size_t n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

void line(std::string& out, const std::string& text) { out += text + "\n"; }

void executable_section(const Diagnosis& d, std::string& out) {
  line(out, "executable: velkvpn-helper " + d.version + ", " +
                (d.executable ? utf8_from_path(*d.executable) : std::string("(path unknown)")) + ", " +
                (d.elevated ? "elevated" : "not elevated"));
}

void service_section(const Diagnosis& d, std::string& out) {
  const ServiceFacts& s = d.service;
  if (s.open_error != 0) {
    line(out, "service: cannot be asked (error " + std::to_string(s.open_error) + ")");
    return;
  }
  if (!s.registered) {
    line(out, "service: VelkVpnHelper not registered");
    return;
  }
  std::string text = "service: VelkVpnHelper registered, " + (s.state ? service_state_name(*s.state) : "state unknown");
  if (s.pid) text += " (pid " + std::to_string(*s.pid) + ")";
  line(out, text);
  line(out, "  command line: " + s.command_line.value_or("(unreadable)") +
                (d.service_is_this_executable ? " (this executable)" : " (not this executable)"));
  if (!s.recovery) {
    line(out, "  recovery actions: unknown (cannot be read)");
  } else {
    std::string actions = "  recovery actions:";
    if (s.recovery->actions.empty()) actions += " none";
    for (const FailureAction& a : s.recovery->actions) {
      actions += a.type == scm::kRestart ? " restart after " + std::to_string(a.delay_ms) + " ms;"
                                         : " action " + std::to_string(a.type) + ";";
    }
    line(out, actions + " reset after " + std::to_string(s.recovery->reset_period_s) + " s");
  }
}

void helper_section(const Diagnosis& d, std::string& out) {
  if (!d.helper) {
    line(out, "running helper: no answer");
    return;
  }
  const Status& s = *d.helper;
  std::string text = "running helper: " + s.version + ", engine " + std::string(name_of(s.state)) + ", vpn wanted " +
                     (s.wanted ? "true" : "false") + ", kill switch " + std::string(name_of(s.kill_switch)) +
                     ", restarts " + std::to_string(s.restarts);
  if (s.error) text += ", last error " + *s.error;
  line(out, text);
}

void state_dir_section(const Diagnosis& d, std::string& out) {
  line(out, "state directory: " + utf8_from_path(d.state_dir) + " (" + to_string(d.state_dir_verdict) + ")");
  if (d.state_dir_verdict == StateDirVerdict::made_by_this_release || d.state_dir_verdict == StateDirVerdict::inspected) {
    std::string names;
    for (const std::string& n : d.state_dir_entries) names += (names.empty() ? "" : ", ") + n;
    line(out, "  holds: " + (names.empty() ? std::string("nothing") : names));
  }
}

void kill_switch_section(const Diagnosis& d, std::string& out) {
  std::string text = "kill switch: killswitch.json " + std::string(to_string(d.saved));
  if (d.armed) {
    text += ", owner " + d.armed->owner.value_or("(none)") + ", " + plural(d.pinned_addresses, "pin", "pins") + ", " +
            plural(d.armed->pins.size(), "saved host", "saved hosts");
  }
  text += d.turn_off_pending ? "; a turn-off is pending" : "; no turn-off pending";
  line(out, text);
  line(out, "  tunnel interface velkvpn0: " +
                (d.tunnel_luid ? "present (LUID " + std::to_string(*d.tunnel_luid) + ")" : std::string("absent")));
  if (!d.filters_listed) {
    line(out, "  filters: cannot be listed");
    return;
  }
  if (d.filters.empty()) {
    line(out, "  filters in force: none");
  } else {
    line(out, "  filters in force: " + std::to_string(d.filters.size()));
    for (const auto& [layer, count] : d.by_layer) {
      std::string by = "    " + std::string(layer_name(layer)) + ": " + plural(count.block, "block", "block") + ", " +
                       plural(count.permit, "permit", "permits");
      if (count.other > 0) by += ", " + std::to_string(count.other) + " other";
      line(out, by);
    }
  }
  if (d.saved != SavedState::missing && !d.filters.empty()) {
    line(out, "  against the saved state: " + plural(d.comparison.missing.size(), "missing", "missing") + ", " +
                  plural(d.comparison.extra.size(), "extra", "extra") + ", " +
                  plural(d.comparison.endpoint_permits, "permit", "permits") + " of the engine to its servers");
  }
}

void installation_section(const Diagnosis& d, std::string& out) {
  if (!d.install_dir) {
    line(out, "installation: unknown (no service registration names it)");
    return;
  }
  line(out, "installation: " + utf8_from_path(*d.install_dir));
  if (!d.manifest_read) {
    line(out, "  install-manifest.txt: missing or unreadable");
  } else {
    std::size_t matching = 0;
    for (const InstalledFile& f : d.files) {
      if (f.check == FileCheck::matches) ++matching;
    }
    line(out, "  install-manifest.txt: " + std::to_string(d.files.size()) + " files, " + std::to_string(matching) +
                  " match");
    for (const InstalledFile& f : d.files) {
      if (f.check != FileCheck::matches) line(out, "    " + f.name + ": " + to_string(f.check));
    }
  }
  for (const std::string& name : d.extra_files) line(out, "  not in the manifest: " + name);
  std::string leftovers;
  for (const std::string& name : d.leftovers) leftovers += (leftovers.empty() ? "" : ", ") + name;
  line(out, "  leftovers: " + (leftovers.empty() ? std::string("none") : leftovers));
}

void log_section(const Diagnosis& d, std::string& out) {
  if (d.log_tail.empty()) {
    line(out, "install.log: empty or missing");
    return;
  }
  line(out, "install.log, last " + plural(d.log_tail.size(), "line:", "lines:"));
  for (const std::string& l : d.log_tail) line(out, "  " + l);
}

}  // namespace

std::string report_text(const Diagnosis& d) {
  std::string out;
  if (d.could_not_look) {
    line(out, "diagnose: could not look: " + *d.could_not_look);
  } else if (d.disagreements.empty()) {
    line(out, "diagnose: everything agrees");
  } else {
    line(out, "diagnose: " + plural(d.disagreements.size(), "disagreement", "disagreements"));
  }
  for (const Finding& f : d.disagreements) line(out, "- " + f.what + "; fix: " + f.fix);
  line(out, "");
  executable_section(d, out);
  service_section(d, out);
  helper_section(d, out);
  state_dir_section(d, out);
  kill_switch_section(d, out);
  installation_section(d, out);
  log_section(d, out);
  return out;
}

}  // namespace velk
