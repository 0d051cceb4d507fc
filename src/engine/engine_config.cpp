#include "engine/engine_config.h"

namespace velk {
namespace {

using nlohmann::json;

constexpr const char* proxy_tag = "proxy";
constexpr const char* auto_tag = "auto";

json dns_section() {
  return {{"final", "remote"},
          {"servers", json::array({{{"detour", proxy_tag}, {"server", "1.1.1.1"}, {"tag", "remote"}, {"type", "https"}}})}};
}

json tun_inbound() {
  return {{"address", json::array({"172.19.0.1/30", "fdfe:dcba:9876::1/126"})},
          {"auto_route", true},
          {"interface_name", "velkvpn0"},
          {"iproute2_rule_index", 9000},
          {"iproute2_table_index", 2022},
          {"route_exclude_address", json::array({"100.64.0.0/10", "fd7a:115c:a1e0::/48"})},
          {"stack", "mixed"},
          {"strict_route", true},
          {"tag", "tun-in"},
          {"type", "tun"}};
}

json vless_outbound(const Route& r) {
  json tls = {{"enabled", true},
              {"reality", {{"enabled", true}, {"public_key", r.public_key}, {"short_id", r.short_id}}},
              {"server_name", r.server_name},
              {"utls", {{"enabled", true}, {"fingerprint", r.fingerprint}}}};
  json out = {{"flow", r.flow},         {"server", r.server}, {"server_port", r.port}, {"tag", r.tag},
              {"tls", std::move(tls)}, {"type", "vless"},   {"uuid", r.uuid}};
  if (!r.flow.empty()) out["packet_encoding"] = "xudp";
  return out;
}

json outbounds(const EngineRequest& request) {
  json route_tags = json::array();
  for (const Route& r : request.routes) route_tags.push_back(r.tag);
  json selector_members = json::array({auto_tag});
  for (const Route& r : request.routes) selector_members.push_back(r.tag);

  json list = json::array();
  list.push_back({{"default", request.selected},
                  {"interrupt_exist_connections", true},
                  {"outbounds", std::move(selector_members)},
                  {"tag", proxy_tag},
                  {"type", "selector"}});
  list.push_back({{"interval", "10m"},
                  {"outbounds", std::move(route_tags)},
                  {"tag", auto_tag},
                  {"type", "urltest"},
                  {"url", connectivity_check_url}});
  for (const Route& r : request.routes) list.push_back(vless_outbound(r));
  return list;
}

json route_section() {
  return {{"auto_detect_interface", true},
          {"final", proxy_tag},
          {"rules", json::array({{{"action", "sniff"}},
                                 {{"action", "hijack-dns"}, {"protocol", "dns"}},
                                 {{"action", "reject"}, {"ip_is_private", true}}})}};
}

}  // namespace

json engine_config_document(const EngineRequest& request, const ControllerAccess& access) {
  json doc = json::object();
  doc["dns"] = dns_section();
  doc["experimental"] = {{"clash_api",
                          {{"external_controller", "127.0.0.1:" + std::to_string(access.port)},
                           {"secret", access.secret}}}};
  doc["inbounds"] = json::array({tun_inbound()});
  doc["log"] = {{"level", "error"}, {"timestamp", false}};
  doc["outbounds"] = outbounds(request);
  doc["route"] = route_section();
  return doc;
}

std::string build_engine_config(const EngineRequest& request, const ControllerAccess& access) {
  // A validated request holds only ASCII; the replacing handler keeps the
  // writer from throwing should anything else ever reach it.
  return engine_config_document(request, access).dump(-1, ' ', false, json::error_handler_t::replace);
}

}  // namespace velk
