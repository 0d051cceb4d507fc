// The report as one JSON document; its members are described in
// docs/diagnose.md.

#include <nlohmann/json.hpp>

#include "diagnose/diagnosis.h"
#include "platform/text.h"

namespace velk {
namespace {

using json = nlohmann::ordered_json;

json optional_path(const std::optional<std::filesystem::path>& p) {
  return p ? json(utf8_from_path(*p)) : json(nullptr);
}

json service_json(const Diagnosis& d) {
  const ServiceFacts& s = d.service;
  json out = json::object();
  out["registered"] = s.registered;
  out["open_error"] = s.open_error;
  out["state"] = s.state ? json(*s.state) : json(nullptr);
  out["running"] = s.state && *s.state == scm::kRunning;
  out["pid"] = s.pid ? json(*s.pid) : json(nullptr);
  out["command_line"] = s.command_line ? json(*s.command_line) : json(nullptr);
  out["executable"] = optional_path(d.service_executable);
  out["is_this_executable"] = d.service_is_this_executable;
  if (s.recovery) {
    json actions = json::array();
    for (const FailureAction& a : s.recovery->actions) {
      actions.push_back({{"type", a.type == scm::kRestart ? json("restart") : json(a.type)}, {"delay_ms", a.delay_ms}});
    }
    out["recovery"] = {{"reset_period_s", s.recovery->reset_period_s}, {"actions", actions}};
  } else {
    out["recovery"] = nullptr;  // unknown
  }
  return out;
}

json helper_json(const Diagnosis& d) {
  if (!d.helper) return nullptr;
  const Status& s = *d.helper;
  auto optional = [](const std::optional<std::string>& v) { return v ? json(*v) : json(nullptr); };
  return {{"version", s.version},
          {"state", std::string(name_of(s.state))},
          {"wanted", s.wanted},
          {"selected", optional(s.selected)},
          {"active", optional(s.active)},
          {"error", optional(s.error)},
          {"restarts", s.restarts},
          {"kill_switch", std::string(name_of(s.kill_switch))},
          {"session", std::string(name_of(s.session))}};
}

json kill_switch_json(const Diagnosis& d) {
  json out = json::object();
  out["state_file"] = to_string(d.saved);
  out["owner"] = d.armed && d.armed->owner ? json(*d.armed->owner) : json(nullptr);
  out["pins"] = d.pinned_addresses;
  out["saved_hosts"] = d.armed ? d.armed->pins.size() : 0;
  out["turn_off_pending"] = d.turn_off_pending;
  out["tunnel_luid"] = d.tunnel_luid ? json(*d.tunnel_luid) : json(nullptr);
  out["filters_listed"] = d.filters_listed;
  json layers = json::object();
  for (const auto& [layer, count] : d.by_layer) {
    layers[layer_name(layer)] = {{"block", count.block}, {"permit", count.permit}, {"other", count.other}};
  }
  out["filters"] = {{"count", d.filters.size()}, {"by_layer", layers}};
  out["missing"] = d.comparison.missing;
  out["extra"] = d.comparison.extra;
  out["endpoint_permits"] = d.comparison.endpoint_permits;
  return out;
}

json installation_json(const Diagnosis& d) {
  json files = json::array();
  for (const InstalledFile& f : d.files) files.push_back({{"name", f.name}, {"check", to_string(f.check)}});
  return {{"dir", optional_path(d.install_dir)},
          {"manifest_read", d.manifest_read},
          {"files", files},
          {"extra", d.extra_files},
          {"leftovers", d.leftovers}};
}

}  // namespace

std::string report_json(const Diagnosis& d) {
  json doc = json::object();
  doc["exit_code"] = exit_code(d);
  doc["could_not_look"] = d.could_not_look ? json(*d.could_not_look) : json(nullptr);
  json findings = json::array();
  for (const Finding& f : d.disagreements) findings.push_back({{"what", f.what}, {"fix", f.fix}});
  doc["disagreements"] = findings;
  doc["executable"] = {{"version", d.version}, {"path", optional_path(d.executable)}, {"elevated", d.elevated}};
  doc["service"] = service_json(d);
  doc["helper"] = helper_json(d);
  doc["state_dir"] = {{"path", utf8_from_path(d.state_dir)},
                      {"judged", to_string(d.state_dir_verdict)},
                      {"entries", d.state_dir_entries}};
  doc["kill_switch"] = kill_switch_json(d);
  doc["installation"] = installation_json(d);
  doc["install_log"] = d.log_tail;
  // Texts that are not UTF-8 (a log line) are replaced, never a failure.
  return doc.dump(2, ' ', false, json::error_handler_t::replace) + "\n";
}

}  // namespace velk
