#include "standin_view.h"

#include <windows.h>

#include <cstdio>

#include <nlohmann/json.hpp>

#include "process_environment.h"

namespace velk::test {
namespace {

using nlohmann::json;

// IPv4 condition values are numbers in host order.
std::string dotted(std::uint64_t v) {
  return std::to_string((v >> 24) & 255) + "." + std::to_string((v >> 16) & 255) + "." + std::to_string((v >> 8) & 255) +
         "." + std::to_string(v & 255);
}

std::optional<std::string> address_text(const json& condition) {
  const json& value = condition.at("value");
  if (value.is_number_unsigned()) return dotted(value.get<std::uint64_t>());
  if (value.is_string()) return value.get<std::string>();
  return std::nullopt;
}

void read_filter(const json& filter, FilterView& view) {
  ++view.filters;
  const auto layer = filter.at("layer").get<std::size_t>();
  if (layer < view.per_layer.size()) ++view.per_layer[layer];
  std::optional<std::string> address, port, app_id;
  for (const json& c : filter.at("conditions")) {
    const std::string field = c.at("field").get<std::string>();
    if (field == "IP_REMOTE_ADDRESS") address = address_text(c);
    if (field == "IP_REMOTE_PORT") port = std::to_string(c.at("value").get<std::uint64_t>());
    if (field == "ALE_APP_ID" && c.contains("text")) app_id = c.at("text").get<std::string>();
  }
  if (address && port) {
    view.pins.push_back(*address + ":" + *port);
    if (app_id) view.app_ids.push_back(*app_id);
  }
}

}  // namespace

bool FilterView::every_layer_blocked() const {
  for (std::size_t n : per_layer) {
    if (n == 0) return false;
  }
  return true;
}

std::optional<std::wstring> standin_dir_of(DWORD pid) {
  if (auto dir = environment_variable_of(pid, L"VELK_FWP_STANDIN_DIR"); dir && !dir->empty()) return dir;
  // Unreadable and unset look alike from here; a process always has SystemRoot.
  if (!environment_variable_of(pid, L"SystemRoot")) return std::nullopt;
  const std::optional<std::wstring> base = environment_variable_of(pid, L"ProgramData");
  return (base && !base->empty() ? *base : std::wstring(L"C:\\ProgramData")) + L"\\fwp-standin";
}

ProcessResult standin_tool(const std::vector<std::wstring>& args) {
  return run_program(test_binary_dir() / L"fwp-standin.exe", args);
}

std::optional<FilterView> view_filters() {
  // A dump changes nothing: on a loaded machine, where Wine now and then fails
  // to launch a program, it gets a few tries, and a last failure is described.
  ProcessResult r;
  for (int attempt = 0; attempt < 3; ++attempt) {
    if (attempt > 0) Sleep(300);
    r = standin_tool({L"dump"});
    if (r.exit_code == 0) break;
  }
  if (r.exit_code != 0) {
    std::fprintf(stderr, "fwp-standin dump: exit %lu: %s\n", static_cast<unsigned long>(r.exit_code), r.err.c_str());
    return std::nullopt;
  }
  const json doc = json::parse(r.out, nullptr, false);
  if (doc.is_discarded() || !doc.is_object()) return std::nullopt;
  try {
    FilterView view;
    view.providers = doc.at("providers").size();
    view.sublayers = doc.at("sublayers").size();
    for (const json& f : doc.at("filters")) read_filter(f, view);
    return view;
  } catch (const json::exception&) {
    return std::nullopt;
  }
}

std::string describe(const FilterView& view) {
  std::string s = std::to_string(view.filters) + " filters (" + std::to_string(view.per_layer[0]) + "/" +
                  std::to_string(view.per_layer[1]) + "/" + std::to_string(view.per_layer[2]) + "/" +
                  std::to_string(view.per_layer[3]) + " by layer), pins:";
  for (const std::string& p : view.pins) s += " " + p;
  return s;
}

}  // namespace velk::test
