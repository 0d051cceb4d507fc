// --diagnose against a faked system: what agrees, each disagreement it must
// name, the looks it cannot take, and that it changes nothing anywhere.

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <functional>

#include "diagnose_world.h"
#include "install/service_ops.h"

namespace velk::test {
namespace {

namespace fs = std::filesystem;

// Every call that changes the filtering engine.
constexpr FakeWfpCall kChanging[] = {FakeWfpCall::add_provider,       FakeWfpCall::add_sublayer,
                                     FakeWfpCall::begin_transaction,  FakeWfpCall::commit_transaction,
                                     FakeWfpCall::abort_transaction,  FakeWfpCall::add_filter,
                                     FakeWfpCall::delete_filter,      FakeWfpCall::delete_sublayer,
                                     FakeWfpCall::delete_provider};

struct Case {
  const char* name;
  std::function<void(DiagnoseWorld&)> setup;
  int code;
  const char* finding;  // a disagreement that must be listed (empty: none listed)
  bool default_dir = false;
};

const Case kCases[] = {
    {"armed with the saved server", [](DiagnoseWorld&) {}, 0, ""},
    {"restored without pins", [](DiagnoseWorld& w) { w.arm({}); }, 0, ""},
    {"stopped: no state, no filters, kill switch off",
     [](DiagnoseWorld& w) {
       fs::remove(w.state_dir() / "killswitch.json");
       (void)w.system.engine->make_filter_ops()->remove_filters();
       w.system.status->kill_switch = KillSwitch::off;
     },
     0, ""},
    {"recovery actions unreadable (Wine)", [](DiagnoseWorld& w) { w.system.facts.recovery.reset(); }, 0, ""},
    {"a block filter deleted from outside", [](DiagnoseWorld& w) { w.system.engine->delete_filters_in_layer(2); }, 1,
     "filter missing: ALE_AUTH_RECV_ACCEPT_V4 block weight 0"},
    {"filters in force with no state file",
     [](DiagnoseWorld& w) {
       fs::remove(w.state_dir() / "killswitch.json");
       w.system.status->kill_switch = KillSwitch::off;
     },
     1, "filters of the kill switch are in force with no killswitch.json"},
    {"a permit to a server given as an address, under a start request",
     [](DiagnoseWorld& w) { w.arm({Pin{*IpAddress::parse("10.9.9.9"), 443}}); }, 0, ""},
    {"a permit to a server the state does not hold, no VPN wanted",
     [](DiagnoseWorld& w) {
       w.arm({Pin{*IpAddress::parse("10.9.9.9"), 443}});
       w.system.status->wanted = false;
     },
     1, "filter the saved state does not imply: ALE_AUTH_CONNECT_V4 permit weight 10: ale_app_id"},
    {"a permit of another program to a saved server",
     [](DiagnoseWorld& w) {
       auto ops = w.system.engine->make_filter_ops(w.install_dir() / "other.exe");
       ASSERT_TRUE(ops->install_filters({Pin{*IpAddress::parse("10.0.0.1"), 443}}));
     },
     1, "filter the saved state does not imply: ALE_AUTH_CONNECT_V4 permit weight 10: ale_app_id"},
    {"the tunnel appeared and its permits are missing", [](DiagnoseWorld& w) { w.system.engine->set_tunnel_luid(77); },
     1, "filter missing: ALE_AUTH_CONNECT_V4 permit weight 10: ip_local_interface 77"},
    {"saved, no filter in force", [](DiagnoseWorld& w) { (void)w.system.engine->make_filter_ops()->remove_filters(); },
     1, "killswitch.json is saved but no filter of the kill switch is in force"},
    {"a turn-off left pending with the filters in force",
     [](DiagnoseWorld& w) { fs::rename(w.state_dir() / "killswitch.json", w.state_dir() / "killswitch.disarm"); }, 1,
     "a turn-off is pending (killswitch.disarm) and the kill switch's filters are still in force"},
    {"an unreadable state file", [](DiagnoseWorld& w) { w.write(w.state_dir() / "killswitch.json", "{"); }, 1,
     "killswitch.json cannot be read"},
    {"the helper says armed with no state file",
     [](DiagnoseWorld& w) {
       fs::remove(w.state_dir() / "killswitch.json");
       (void)w.system.engine->make_filter_ops()->remove_filters();
     },
     1, "the running helper reports the kill switch armed, but killswitch.json is missing"},
    {"an installed file changed", [](DiagnoseWorld& w) { w.write(w.install_dir() / "readme.txt", "changed"); }, 1,
     "readme.txt differs from install-manifest.txt"},
    {"an installed file missing", [](DiagnoseWorld& w) { fs::remove(w.install_dir() / "velkvpn-engine.exe"); }, 1,
     "velkvpn-engine.exe is missing from"},
    {"a file the manifest does not name", [](DiagnoseWorld& w) { w.write(w.install_dir() / "fwpuclnt.dll", "x"); }, 1,
     "fwpuclnt.dll in"},
    {"no manifest", [](DiagnoseWorld& w) { fs::remove(w.install_dir() / "install-manifest.txt"); }, 1,
     "holds no readable install-manifest.txt"},
    {"a leftover .update-old",
     [](DiagnoseWorld& w) { w.write(w.install_dir() / ".update-old" / "velkvpn-helper.exe", "0.1.7"); }, 1,
     ".update-old in"},
    {"a leftover trash directory",
     [](DiagnoseWorld& w) { w.write(w.install_dir() / ".update-trash-3" / "old", "0"); }, 1, ".update-trash-3 in"},
    {"a swap marked unfinished", [](DiagnoseWorld& w) { w.write(w.state_dir() / "upgrade-swap.pending", "x"); }, 1,
     "upgrade-swap.pending"},
    {"a swap marked unfinished in the install directory",
     [](DiagnoseWorld& w) { w.write(w.install_dir() / ".update-swap.pending", "x"); }, 1,
     "marked unfinished (.update-swap.pending in"},
    {"the service not registered", [](DiagnoseWorld& w) { w.system.facts = ServiceFacts{}; }, 1,
     "the service VelkVpnHelper is not registered"},
    {"the service stopped",
     [](DiagnoseWorld& w) {
       w.system.facts.state = scm::kStopped;
       w.system.status.reset();
     },
     1, "the service VelkVpnHelper is not running"},
    {"the service silent", [](DiagnoseWorld& w) { w.system.status.reset(); }, 1,
     "runs but does not answer a status request"},
    {"recovery actions removed", [](DiagnoseWorld& w) { w.system.facts.recovery = cleared_recovery_actions(); }, 1,
     "recovery actions are not the installed ones"},
    {"another command line", [](DiagnoseWorld& w) { *w.system.facts.command_line += " --debug"; }, 1,
     "command line is not the one an install registers"},
    {"a state directory that is not the helper's",
     [](DiagnoseWorld& w) {
       fs::remove(w.state_dir() / "fresh-directory.marker");
       fs::create_directories(w.state_dir() / "planted");
     },
     1, "is not the helper's: its next start moves it aside", true},
};

TEST(Diagnose, EachCaseAgreesOrNamesItsDisagreementAndChangesNothing) {
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    DiagnoseWorld w;
    c.setup(w);
    const auto tree = w.tree();
    const auto filters = w.system.engine->filters();
    std::map<FakeWfpCall, int> before;
    for (FakeWfpCall call : kChanging) before[call] = w.system.engine->calls(call);

    const DiagnoseWorld::Run r = w.run(false, c.default_dir);
    EXPECT_EQ(r.code, c.code) << r.out;
    EXPECT_EQ(r.err, "");
    if (*c.finding == '\0') {
      EXPECT_TRUE(r.out.starts_with("diagnose: everything agrees\n")) << r.out;
    } else {
      EXPECT_NE(r.out.find(c.finding), std::string::npos) << r.out;
      EXPECT_LT(r.out.find(c.finding), r.out.find("\nexecutable: ")) << "disagreements come first";
    }
    EXPECT_EQ(w.tree(), tree) << "files written, renamed or deleted";
    EXPECT_EQ(w.system.engine->filters(), filters);
    for (FakeWfpCall call : kChanging) EXPECT_EQ(w.system.engine->calls(call), before[call]) << static_cast<int>(call);
    EXPECT_EQ(w.system.engine->open_sessions(), 0);
    EXPECT_EQ(w.system.status_requests, 1);
  }
}

TEST(Diagnose, WhatItCannotLookAtEndsInTwo) {
  {
    DiagnoseWorld w;
    w.system.elevation = false;
    const DiagnoseWorld::Run r = w.run();
    EXPECT_EQ(r.code, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, kNotElevatedText);
    EXPECT_EQ(w.system.engine->calls(FakeWfpCall::open_session), 1) << "only the arming in the world's set-up";
    EXPECT_EQ(w.system.status_requests, 0);
    w.system.elevation.reset();  // unreadable counts as not elevated
    EXPECT_EQ(w.run().code, 2);
  }
  {
    DiagnoseWorld w;
    w.system.engine->fail_always(FakeWfpCall::filter_enum_page);
    const DiagnoseWorld::Run r = w.run();
    EXPECT_EQ(r.code, 2);
    EXPECT_TRUE(r.out.starts_with("diagnose: could not look: the filtering engine cannot be reached\n")) << r.out;
    EXPECT_EQ(w.system.engine->open_enums(), 0);
  }
  {
    DiagnoseWorld w;
    w.system.facts = ServiceFacts{};
    w.system.facts.open_error = 5;
    EXPECT_EQ(w.run().code, 2);
  }
}

// The report names what it saw; host names (which servers a user reaches)
// are counted, never printed, and the JSON document carries the same content.
TEST(Diagnose, ReportAndJsonCarryTheSameContentAndNoHostName) {
  DiagnoseWorld w;
  w.write(w.install_dir() / ".update-old" / "velkvpn-helper.exe", "0.1.7");
  const DiagnoseWorld::Run text = w.run();
  const DiagnoseWorld::Run json = w.run(true);
  EXPECT_EQ(text.code, 1);
  EXPECT_EQ(json.code, 1);
  for (const std::string* out : {&text.out, &json.out}) {
    EXPECT_EQ(out->find("vpn.example"), std::string::npos) << *out;
  }
  for (const char* expected : {"(made by this release)", "owner S-1-5-21-7, 1 pin, 1 saved host",
                               "ALE_AUTH_CONNECT_V4: 1 block, 3 permits", "1 permit of the engine to its servers",
                               "install-manifest.txt: 3 files, 3 match", "leftovers: .update-old", "  result 0\n"}) {
    EXPECT_NE(text.out.find(expected), std::string::npos) << expected << "\n" << text.out;
  }
  const nlohmann::json doc = nlohmann::json::parse(json.out);
  EXPECT_EQ(doc["exit_code"], 1);
  ASSERT_EQ(doc["disagreements"].size(), 1u);
  EXPECT_NE(text.out.find(doc["disagreements"][0]["what"].get<std::string>()), std::string::npos);
  EXPECT_EQ(doc["kill_switch"]["endpoint_permits"], 1);
  EXPECT_EQ(doc["kill_switch"]["filters"]["by_layer"]["ALE_AUTH_CONNECT_V6"]["permit"], 5);
  EXPECT_EQ(doc["installation"]["leftovers"], nlohmann::json::array({".update-old"}));
  EXPECT_EQ(doc["service"]["is_this_executable"], true);
}

}  // namespace
}  // namespace velk::test
