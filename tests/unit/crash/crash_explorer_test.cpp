// The crash explorer: every operation that changes the kill switch is run once
// while each durable step it takes (a state file created, written, flushed,
// renamed or deleted; a filtering transaction begun, committed or aborted; a
// provider or sublayer added or deleted) is recorded with the disk and the
// filtering engine as they stood right after it. For every step k the machine
// is then brought back as a crash right after step k leaves it, and as a power
// cut there leaves it, at every prefix of the name changes not yet on disk
// (see memory_state_files.h); what runs next on a real machine runs on it (the
// next service start: load, restore, the watcher's first passes; or
// --arm-from-state at boot followed by that start) and the invariants are
// checked. The same operations are also run with one call failing: each
// filtering call (once, and from then on), each state-file write, flush,
// rename and delete (once, and from then on), and a directory standing at each
// of the kill switch's file names; each is followed by one next event (a
// watcher pass, the owner's stop, emergency_off, --recover, a service restart),
// then by watcher passes, first with the failure still there, then with it gone.
// The invariants, checked after each of those:
//   (i)   the status reads the kill switch armed exactly when the helper's
//         filters are in force, or `error` names the disagreement (never
//         blocked while it reads off, never armed with nothing in force and
//         no reason);
//   (ii)  after the owner's stop or an emergency_off, nothing installs filters
//         and needs_request stays false until a new start;
//   (iii) once the filtering engine works, --recover and emergency_off (and
//         the owner's stop) leave no filter;
//   (iv)  killswitch.json is absent or a whole document;
// and, after a crash or a power cut, the owner clears what is left with a
// stop (no file, no filter, off) or a start (file, filters, armed), anyone for filters nobody owns.
// The installer's operations are walked the same way (further down), with its
// next run checked instead. It prints a table and fails on any violation.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <iterator>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "fake_clock.h"
#include "fake_controller_client.h"
#include "fake_engine_scripts.h"
#include "fake_engine_world.h"
#include "fake_wfp.h"
#include "install/installer_codes.h"
#include "install_world.h"
#include "ipc/error_codes.h"
#include "killswitch/armed_state.h"
#include "killswitch/killswitch_store.h"
#include "killswitch/watcher.h"
#include "memory_state_files.h"
#include "supervisor/engine_loop.h"
#include "supervisor/supervisor.h"

namespace velk {
namespace {

using test::FakeWfpCall;
using test::FakeWfpEngine;
using test::kOwner;
using test::MemoryStateFiles;
using Image = MemoryStateFiles::Image;

const std::string kStateFile(kStateFileName);
const std::string kSecret(64, 'a');

// Routes on IP literals 10.0.0.1.. plus one on a host name the table resolves
// to 10.9.0.`n`, so that every arming writes a different pin set and map.
EngineRequest request(int n) {
  EngineRequest r = test::engine_request(n);
  Route host = test::engine_route(9);
  host.tag = "srv-host";
  host.server = "vpn.example";
  r.routes.push_back(host);
  return r;
}

// One process of the helper serving on a machine: its construction is a
// service start (load, and restore when killswitch.json exists).
class Helper {
 public:
  Helper(std::shared_ptr<StateFiles> files, FakeWfpEngine& wfp)
      : filters_(wfp.make_filter_ops()),
        sup_(test::fake_engine_path(), std::move(files),
             SupervisorPorts{.filters = *filters_,
                             .resolution = NameResolution{resolver_, std::chrono::milliseconds(4000)},
                             .launcher = launcher_,
                             .controller = controller_,
                             .clock = clock_,
                             .new_access = [] { return Result<ControllerAccess>(ControllerAccess{40001, kSecret}); },
                             .error_sink = [](std::string_view) {}}) {
    resolve_to(1);
  }

  Supervisor& sup() { return sup_; }
  void resolve_to(int n) { resolver_->set("vpn.example", {*IpAddress::parse("10.9.0." + std::to_string(n))}); }
  void watch(int passes) {
    for (int i = 0; i < passes; ++i) check_kill_switch(sup_);
  }
  ~Helper() {
    if (!engine_.joinable()) return;
    sup_.request_thread_exit();
    engine_.join();
  }

  // The owner's stop: the engine thread (started at the first stop, idle
  // from then on), finding no request and a stop asked for, removes the kill switch.
  Outcome stop() {
    if (auto asked = sup_.request_stop(kOwner); !asked) return asked;
    if (!engine_.joinable()) engine_ = std::thread([this] { run_engine_loop(sup_); });
    test::FakeEngineWorld::eventually([this] {  // done, or its removal failed
      return sup_.stop_done() || sup_.snapshot().error == std::optional<std::string>(err::killswitch_remove_failed);
    });
    return {};
  }

 private:
  test::FakeClock clock_;
  test::ScriptedEngineLauncher launcher_{clock_};
  test::FakeControllerClient controller_;
  std::shared_ptr<test::TableResolver> resolver_ = std::make_shared<test::TableResolver>();
  std::unique_ptr<FilterOps> filters_;
  Supervisor sup_;
  std::thread engine_;
};

// A machine: its disk and its filtering engine, and the helper serving on it.
struct Machine {
  Machine() = default;
  Machine(const Image& disk, const FakeWfpEngine& engine)
      : files(std::make_shared<MemoryStateFiles>(disk)), wfp(engine.reboot()) {}

  Helper& start_service() {
    helper.reset();
    helper = std::make_unique<Helper>(files, *wfp);
    return *helper;
  }
  // --arm-from-state in a process of its own, as run at boot.
  void arm_from_state() {
    auto ops = wfp->make_filter_ops(std::nullopt);
    auto store = KillSwitchStore::load(files, *ops);
    if (store.state_file_exists()) (void)store.restore_kill_switch();
  }
  // --recover in a process of its own.
  void recover() {
    auto ops = wfp->make_filter_ops(std::nullopt);
    (void)recover_kill_switch(*files, *ops);
  }
  // The helper ends and the machine restarts (nothing lost).
  void restart() {
    helper.reset();
    *this = Machine(files->after_crash(), *wfp);
  }
  bool file() { return files->kind(kStateFile) == StateEntry::file; }
  bool filters() { return wfp->filter_count() > 0; }

  std::shared_ptr<MemoryStateFiles> files = std::make_shared<MemoryStateFiles>();
  std::shared_ptr<FakeWfpEngine> wfp = FakeWfpEngine::create();
  std::unique_ptr<Helper> helper;
};

// The machine right after one step, as a crash and as power cuts leave it.
struct Point {
  std::string step;
  Image crash;
  std::vector<Image> power_cuts;  // every prefix of the journal, shortest first
  std::shared_ptr<FakeWfpEngine> wfp;
};

struct Operation {
  const char* name;
  std::function<void(Machine&)> before;  // not recorded
  std::function<void(Machine&)> run;     // recorded step by step
};

void arm(Machine& m, int n = 1) { (void)m.helper->sup().apply_request(kOwner, request(n), true); }

// Filters another user armed, whose state file went (with a directory moved aside) before a restart.
void orphaned(Machine& m) {
  m.start_service();
  (void)m.helper->sup().apply_request(test::kOtherUser, request(1), true);
  (void)m.files->remove(kStateFile);
  m.restart();
  m.start_service();
}

const std::vector<Operation>& kill_switch_operations() {
  static const std::vector<Operation> ops = {
      {"arm (first)", [](Machine& m) { m.start_service(); }, [](Machine& m) { arm(m); }},
      {"arm (again)",
       [](Machine& m) { m.start_service(); arm(m); m.helper->resolve_to(2); },
       [](Machine& m) { arm(m, 2); }},
      {"replace",
       [](Machine& m) { m.start_service(); arm(m); },
       [](Machine& m) { (void)m.helper->sup().apply_request(kOwner, request(2), false); }},
      {"disarm after a stop",
       [](Machine& m) { m.start_service(); arm(m); },
       [](Machine& m) { (void)m.helper->stop(); }},
      {"emergency off (forced disarm)",
       [](Machine& m) { m.start_service(); arm(m); },
       [](Machine& m) {
         (void)m.helper->sup().request_stop(kOwner);
         (void)m.helper->sup().finish_emergency_off(kOwner);
       }},
      {"restore at start",
       [](Machine& m) { m.start_service(); arm(m); m.restart(); },
       [](Machine& m) { m.start_service(); }},
      {"watcher repair",
       [](Machine& m) { m.start_service(); arm(m); m.wfp->delete_filters_in_layer(2); },
       [](Machine& m) { m.helper->watch(1); }},
      {"--recover",
       [](Machine& m) { m.start_service(); arm(m); m.restart(); },
       [](Machine& m) { m.recover(); }},
      {"orphaned: another's start", orphaned, [](Machine& m) { arm(m, 2); }},
      {"orphaned: another's stop", orphaned, [](Machine& m) { (void)m.helper->stop(); }},
      {"orphaned: another's e-off", orphaned,
       [](Machine& m) { if (m.helper->sup().request_stop(kOwner)) (void)m.helper->sup().finish_emergency_off(kOwner); }},
  };
  return ops;
}

std::vector<Point> record(const Operation& op) {
  Machine m;
  op.before(m);
  std::vector<Point> points;
  auto hook = [&](const std::string& what) {
    points.push_back({what, m.files->after_crash(), m.files->after_power_cuts(), m.wfp->reboot()});
  };
  m.files->on_step(hook);
  m.wfp->on_step(hook);
  op.run(m);
  m.files->on_step(nullptr);
  m.wfp->on_step(nullptr);
  return points;
}

enum class Next { service_start, arm_from_state_then_start };

// Boots the machine left at a point and lets the next start settle.
Helper& settle(Machine& m, Next next) {
  if (next == Next::arm_from_state_then_start) m.arm_from_state();
  Helper& h = m.start_service();
  h.watch(3);
  return h;
}

// Every invariant the machine left as `disk` and `wfp` breaks after `next`.
std::vector<std::string> violations(const Image& disk, const FakeWfpEngine& wfp, Next next) {
  std::vector<std::string> found;
  if (auto it = disk.find(kStateFile); it != disk.end() && !armed_state_from_json(it->second)) {
    found.push_back("killswitch.json torn");
  }
  {
    Machine m(disk, wfp);
    const Status s = settle(m, next).sup().snapshot();
    const bool armed = s.kill_switch == KillSwitch::armed;
    if (!armed && m.filters()) found.push_back("network blocked while the status reads off");
    if (armed && !m.filters() && !s.error) found.push_back("armed with no filter in force, no error");
  }
  {
    Machine m(disk, wfp);
    Helper& h = settle(m, next);
    const bool stopped = h.stop().ok();
    if (!stopped || m.file() || m.filters() || h.sup().snapshot().kill_switch != KillSwitch::off) {
      found.push_back("a stop does not clear it");
    }
  }
  {
    Machine m(disk, wfp);
    Helper& h = settle(m, next);
    const bool started = h.sup().apply_request(kOwner, request(3), true).ok();
    if (!started || !m.file() || !m.filters() || h.sup().snapshot().kill_switch != KillSwitch::armed) {
      found.push_back("a start does not arm it");
    }
  }
  return found;
}

struct Row {
  std::string operation;
  int crash_points = 0;
  int power_cut_points = 0;
  std::vector<std::string> violations;
};

// Crash and power-cut points of one operation, and what they break.
struct Cell {
  int points = 0;
  std::vector<std::string> violations;
};

Cell explore_crashes(const Operation& op, bool power_cuts) {
  Cell cell;
  int k = 0;
  for (const Point& p : record(op)) {
    ++k;
    std::vector<std::pair<std::string, const Image*>> images;
    if (!power_cuts) {
      images.push_back({"crash", &p.crash});
    } else {
      for (std::size_t i = 0; i < p.power_cuts.size(); ++i) {
        const Image& cut = p.power_cuts[i];
        // A prefix that leaves what a crash leaves, or an earlier prefix, adds nothing.
        if (cut == p.crash || std::find(p.power_cuts.begin(), p.power_cuts.begin() + static_cast<std::ptrdiff_t>(i),
                                        cut) != p.power_cuts.begin() + static_cast<std::ptrdiff_t>(i)) {
          continue;
        }
        images.push_back({"power cut (journal prefix " + std::to_string(i) + ")", &cut});
      }
    }
    for (const auto& [how, image] : images) {
      ++cell.points;
      for (Next next : {Next::service_start, Next::arm_from_state_then_start}) {
        const std::vector<std::string> found = violations(*image, *p.wfp, next);
        if (found.empty()) continue;
        std::string line = how + " after step " + std::to_string(k) + " (" + p.step + "), then " +
                           (next == Next::service_start ? "a service start" : "--arm-from-state and a start") + ":";
        for (const std::string& v : found) line += " " + v + ";";
        cell.violations.push_back(line);
      }
    }
  }
  return cell;
}

// ---- Failures ----

enum class Fault { wfp_once, wfp_from_then_on, file_once, file_from_then_on, directory };
enum class Event { watcher_pass, owner_stop, emergency_off, recover, service_restart };

constexpr FakeWfpCall kWfpCalls[] = {
    FakeWfpCall::open_session,       FakeWfpCall::add_provider,       FakeWfpCall::add_sublayer,
    FakeWfpCall::begin_transaction,  FakeWfpCall::commit_transaction, FakeWfpCall::abort_transaction,
    FakeWfpCall::add_filter,         FakeWfpCall::create_filter_enum, FakeWfpCall::filter_enum_page,
    FakeWfpCall::delete_filter,      FakeWfpCall::delete_sublayer,    FakeWfpCall::delete_provider,
    FakeWfpCall::interface_luid,     FakeWfpCall::app_id_from_file_name};
constexpr MemoryStateFiles::Op kFileOps[] = {MemoryStateFiles::Op::write, MemoryStateFiles::Op::flush,
                                             MemoryStateFiles::Op::rename, MemoryStateFiles::Op::remove};
const char* const kFileOpNames[] = {"write", "flush", "rename", "delete"};
const std::string kNames[] = {std::string(kStateFileName), std::string(kStateTempName), std::string(kDisarmIntentName)};

const char* const kEventNames[] = {"a watcher pass", "the owner's stop", "emergency_off", "--recover",
                                   "a service restart"};

// One failure, set up right before the operation runs.
struct FaultPoint {
  std::string what;
  std::function<void(Machine&)> arm;
};

std::vector<FaultPoint> fault_points(const Operation& op, Fault fault) {
  std::vector<FaultPoint> points;
  if (fault == Fault::directory) {
    for (const std::string& name : kNames) {
      points.push_back({"a directory at " + name, [name](Machine& m) { m.files->put_directory(name); }});
    }
    return points;
  }
  // How many calls of each kind the operation makes when nothing fails.
  Machine m;
  op.before(m);
  std::map<FakeWfpCall, int> wfp_before;
  for (FakeWfpCall c : kWfpCalls) wfp_before[c] = m.wfp->calls(c);
  std::map<MemoryStateFiles::Op, int> file_before;
  for (auto o : kFileOps) file_before[o] = m.files->calls(o);
  op.run(m);
  const bool from_then_on = fault == Fault::wfp_from_then_on || fault == Fault::file_from_then_on;
  if (fault == Fault::wfp_once || fault == Fault::wfp_from_then_on) {
    for (FakeWfpCall c : kWfpCalls) {
      const int made = m.wfp->calls(c) - wfp_before[c];
      for (int n = 1; n <= made; ++n) {
        // The filters of one install are alike: the first two and the last stand for them.
        if (c == FakeWfpCall::add_filter && n > 2 && n < made) continue;
        points.push_back({"filtering call " + std::to_string(static_cast<int>(c)) + " #" + std::to_string(n),
                          [=](Machine& x) { from_then_on ? x.wfp->fail_from(c, n) : x.wfp->fail(c, n); }});
      }
    }
  } else {
    for (std::size_t i = 0; i < std::size(kFileOps); ++i) {
      const auto o = kFileOps[i];
      for (int n = 1; n <= m.files->calls(o) - file_before[o]; ++n) {
        points.push_back({std::string("file ") + kFileOpNames[i] + " #" + std::to_string(n),
                          [=](Machine& x) { x.files->fail(o, n, from_then_on); }});
      }
    }
  }
  return points;
}

// The invariants as the machine stands; `off_asked`: the owner's stop or an
// emergency_off came before, and `installs` counts the filters added since.
void check(Machine& m, const std::string& when, bool off_asked, int adds_since_off, bool engine_works,
           bool off_by_event, std::vector<std::string>& found) {
  const Image disk = m.files->after_crash();
  if (auto it = disk.find(kStateFile);
      it != disk.end() && it->second != MemoryStateFiles::kDirectory && !armed_state_from_json(it->second)) {
    found.push_back(when + ": killswitch.json torn (iv)");
  }
  const Status s = m.helper->sup().status_for(test::kAdmin);  // sees the error whoever owns it
  const bool armed = s.kill_switch == KillSwitch::armed;
  if (!armed && m.filters()) found.push_back(when + ": blocked while the status reads off (i)");
  if (armed && !m.filters() && !s.error) found.push_back(when + ": armed with nothing in force, no reason (i)");
  if (off_asked && (adds_since_off > 0 || m.helper->sup().status_for(kOwner).needs_request)) {
    found.push_back(when + ": re-armed or asks for a request after the off (ii)");
  }
  if (off_by_event && engine_works && m.filters()) found.push_back(when + ": filters left once the engine works (iii)");
}

std::vector<std::string> fault_violations(const Operation& op, const FaultPoint& point, Event event) {
  Machine m;
  op.before(m);
  point.arm(m);
  op.run(m);
  if (!m.helper) m.start_service();

  bool off_asked = false;
  switch (event) {
    case Event::watcher_pass: m.helper->watch(1); break;
    case Event::owner_stop: off_asked = m.helper->stop().ok(); break;
    case Event::emergency_off:
      off_asked = m.helper->sup().request_stop(kOwner).ok();
      if (off_asked) (void)m.helper->sup().finish_emergency_off(kOwner);
      break;
    case Event::recover: m.recover(); break;
    case Event::service_restart: m.start_service(); break;
  }
  const int adds_at_off = m.wfp->calls(FakeWfpCall::add_filter);
  const bool off_by_event = off_asked || event == Event::recover;
  std::vector<std::string> found;
  auto adds = [&] { return off_asked ? m.wfp->calls(FakeWfpCall::add_filter) - adds_at_off : 0; };
  // Another process's --recover reaches the running helper at its next pass.
  if (event != Event::recover) check(m, "right after", off_asked, adds(), false, off_by_event, found);
  m.helper->watch(2);
  check(m, "after two passes", off_asked, adds(), false, off_by_event, found);
  m.wfp->clear_failures();
  m.files->clear_failures();
  m.helper->watch(2);
  check(m, "once the failure is gone", off_asked, adds(), true, off_by_event, found);
  return found;
}

Cell explore_faults(const Operation& op, Fault fault) {
  Cell cell;
  for (const FaultPoint& point : fault_points(op, fault)) {
    ++cell.points;
    for (Event event : {Event::watcher_pass, Event::owner_stop, Event::emergency_off, Event::recover,
                        Event::service_restart}) {
      const std::vector<std::string> found = fault_violations(op, point, event);
      if (found.empty()) continue;
      std::string line = point.what + ", then " + kEventNames[static_cast<int>(event)] + ":";
      for (const std::string& v : found) line += " " + v + ";";
      cell.violations.push_back(line);
    }
  }
  return cell;
}

// Explores every operation, prints the table, and fails on any violation.
template <typename Operations>
void explore_all(const Operations& operations) {
  std::printf("%-32s %12s %16s %10s\n", "operation", "crash points", "power-cut points", "violations");
  for (const auto& op : operations) {
    const Row r = explore(op);
    std::printf("%-32s %12d %16d %10zu\n", r.operation.c_str(), r.crash_points, r.power_cut_points,
                r.violations.size());
    EXPECT_GT(r.crash_points, 0) << r.operation << " took no durable step";
    for (const std::string& v : r.violations) ADD_FAILURE() << r.operation << ": " << v;
  }
}

// Operation x fault kind (a crash and a power cut after each step, the
// failures after them): points walked / violations.
TEST(CrashExplorer, EveryCrashAndFailureOfTheKillSwitchLeavesTheStatusTrueAndTheOffStanding) {
  const std::pair<Fault, const char*> kinds[] = {{Fault::wfp_once, "wfp once"},
                                                 {Fault::wfp_from_then_on, "wfp from then on"},
                                                 {Fault::file_once, "file once"},
                                                 {Fault::file_from_then_on, "file from then on"},
                                                 {Fault::directory, "dir at a name"}};
  std::printf("%-32s %9s %9s", "operation", "crash", "power cut");
  for (const auto& [fault, name] : kinds) std::printf(" %17s", name);
  std::printf("\n");
  for (const Operation& op : kill_switch_operations()) {
    const Cell crash = explore_crashes(op, false);
    const Cell cut = explore_crashes(op, true);
    std::printf("%-32s %5d/%-3zu %5d/%-3zu", op.name, crash.points, crash.violations.size(), cut.points,
                cut.violations.size());
    std::vector<std::string> all;
    for (const auto& [fault, name] : kinds) {
      const Cell cell = explore_faults(op, fault);
      std::printf(" %13d/%-3zu", cell.points, cell.violations.size());
      for (const std::string& v : cell.violations) all.push_back(std::string(name) + ": " + v);
    }
    std::printf("\n");
    std::fflush(stdout);
    EXPECT_GT(crash.points, 0) << op.name << " took no durable step (refused?)";
    for (const std::string& v : crash.violations) ADD_FAILURE() << op.name << ": " << v;
    for (const std::string& v : cut.violations) ADD_FAILURE() << op.name << ": " << v;
    for (const std::string& v : all) ADD_FAILURE() << op.name << ": " << v;
  }
}

// ---- The installer ----
// Its fakes number every call; the world is looked at before each one takes
// effect, and each change since the last look is one step. The install
// directory is a real one, the service manager and the filters are fakes.
//
// A crash ends the installer's process: a service deletion it asked for
// completes as its handles close, a service it started keeps running. A power
// cut is that plus a reboot: the registered service starts again (with the
// helper file it finds) and restores its kill switch when killswitch.json is
// there. A power cut keeps the install directory's name changes up to the last
// rename that wrote through (an ordered journal, as for the state files), and
// never undoes a run that ended 0.

using test::FileMap;
using test::InstallWorld;

// The service as the manager keeps it.
struct FakeScmView {
  bool registered = false;
  bool marked = false;
  ServiceRegistration registration;
  std::optional<FailureActions> actions;
  std::uint32_t state = 0;
  std::string running_version;
  bool operator==(const FakeScmView&) const = default;
};

using Tree = std::map<std::string, std::string>;  // path under the world's root -> content; directories end in '/'

struct InstallImage {
  Tree tree;
  Tree power_cut;  // the tree with the install directory as its last write-through left it
  FakeScmView scm;
  std::optional<std::vector<Pin>> filters;
  bool operator==(const InstallImage&) const = default;
};

InstallImage capture(InstallWorld& w) {
  InstallImage img;
  const std::filesystem::path root = w.tmp.path();
  for (const auto& e : std::filesystem::recursive_directory_iterator(root)) {
    const std::string rel = std::filesystem::relative(e.path(), root).generic_string();
    if (e.is_directory()) {
      img.tree[rel + "/"] = "";
    } else {
      img.tree[rel] = w.files_in(e.path().parent_path())[e.path().filename().string()];
    }
  }
  img.scm = FakeScmView{w.scm.registered, w.scm.marked_for_delete, w.scm.registration, w.scm.failure_actions,
                        w.scm.state, w.scm.running_version};
  img.filters = w.filters.installed();
  return img;
}

// `now` with the install directory as the last write-through left it.
Tree after_power_cut(const InstallWorld& w, Tree now, const Tree& synced) {
  const std::string install = w.dir().filename().string() + "/";
  std::erase_if(now, [&](const auto& e) { return e.first.starts_with(install); });
  for (const auto& e : synced) if (e.first.starts_with(install)) now.insert(e);
  return now;
}

void put(InstallWorld& w, const InstallImage& img, bool reboot) {
  for (const auto& e : std::filesystem::directory_iterator(w.tmp.path())) std::filesystem::remove_all(e.path());
  for (const auto& [rel, content] : reboot ? img.power_cut : img.tree) {
    if (rel.ends_with('/')) {
      std::filesystem::create_directories(w.tmp.path() / rel);
    } else {
      w.write(w.tmp.path() / rel, content);
    }
  }
  if (!w.files_in(w.dir())[".update-swap.pending"].empty()) w.mark_swap();  // this world's directory, private
  w.scm.registered = img.scm.registered && !img.scm.marked;
  w.scm.marked_for_delete = false;
  w.scm.registration = img.scm.registration;
  w.scm.failure_actions = w.scm.registered ? img.scm.actions : std::nullopt;
  w.scm.state = w.scm.registered ? img.scm.state : scm::kStopped;
  w.scm.running_version = w.scm.registered ? img.scm.running_version : "";
  (void)w.filters.remove_filters();
  if (img.filters) w.filters.preinstall(*img.filters);
  if (reboot && w.scm.registered) {
    const std::string version = w.files_in(w.dir())["velkvpn-helper.exe"];
    w.scm.state = version.empty() ? scm::kStopped : scm::kRunning;
    w.scm.running_version = version;
    if (!version.empty() && std::filesystem::exists(w.state_file())) w.filters.preinstall({});
  }
  w.scm.pid = w.scm.state == scm::kRunning ? std::optional<std::uint32_t>(500) : std::nullopt;
  w.plan.calls = 0;
}

struct InstallOperation {
  const char* name;
  std::function<void(InstallWorld&)> before;  // the world starts with 0.1.7 installed, running, armed
  bool removal;                               // --remove-service, else --install-from-stage
};

void not_installed(InstallWorld& w) {
  for (const auto& [name, content] : InstallWorld::kOldFiles) std::filesystem::remove(w.dir() / name);
  w.scm.registered = false;
  w.scm.state = scm::kStopped;
  w.scm.pid.reset();
  w.scm.running_version.clear();
  w.scm.failure_actions.reset();
}

void unarmed(InstallWorld& w) {
  std::filesystem::remove(w.state_file());
  (void)w.filters.remove_filters();
}

const std::vector<InstallOperation>& installer_operations() {
  static const std::vector<InstallOperation> ops = {
      {"first install", [](InstallWorld& w) { not_installed(w); unarmed(w); }, false},
      {"upgrade, kill switch armed", [](InstallWorld&) {}, false},
      {"upgrade, kill switch off", unarmed, false},
      {"--remove-service", [](InstallWorld&) {}, true},
  };
  return ops;
}

int run_installer(InstallWorld& w, const InstallOperation& op) { return op.removal ? w.remove() : w.install(); }

std::vector<InstallImage> record(const InstallOperation& op, int& code) {
  InstallWorld w;
  op.before(w);
  w.plan.calls = 0;
  std::vector<InstallImage> images{capture(w)};
  Tree synced = images.back().power_cut = images.back().tree;
  auto look = [&] {
    InstallImage now = capture(w);
    now.power_cut = after_power_cut(w, now.tree, synced);
    if (!(now == images.back())) images.push_back(std::move(now));
  };
  w.plan.before_call = [&](const std::string&) { look(); };
  w.files.on_write_through = [&] { synced = capture(w).tree; };
  code = run_installer(w, op);
  w.plan.before_call = nullptr;
  look();
  images.erase(images.begin());  // the world before the first step
  return images;
}

// The install directory's files but a mark emptied before its deletion was cut short.
FileMap version_files(const InstallWorld& w) {
  FileMap files = w.files_in(w.dir());
  if (auto mark = files.find(".update-swap.pending"); mark != files.end() && mark->second.empty()) files.erase(mark);
  return files;
}

// Every invariant the next run of the installer breaks on the machine left as `img`.
// `finished`: the point after an install that ended 0.
std::vector<std::string> install_violations(const InstallImage& img, bool reboot, const InstallOperation& op,
                                            bool fresh_stage, bool finished) {
  using namespace install_code;
  InstallWorld w;
  put(w, img, reboot);
  std::vector<std::string> found;
  if (finished && (version_files(w) != InstallWorld::kNewFiles || w.scm.running_version != "0.1.8")) {
    found.push_back("the finished install undone");
  }
  if (fresh_stage) w.stage(InstallWorld::kNewFiles);
  const FileMap before = version_files(w);
  const int code = run_installer(w, op);
  const FileMap files = version_files(w);
  const std::string exit = "exit " + std::to_string(code);
  if (op.removal) {
    if (code != kDone || w.scm.registered) found.push_back(exit + ", the service still registered");
    return found;
  }
  if (!w.scm.registered) found.push_back(exit + ", no service registered");
  if (files != InstallWorld::kNewFiles && files != InstallWorld::kOldFiles) {
    found.push_back(exit + ", the install directory holds no whole version");
  }
  if (code == kDone && (files != InstallWorld::kNewFiles || w.scm.running_version != "0.1.8")) {
    found.push_back("exit 0 without the new version in service");
  }
  if (code == kDone && (w.filters.installed() || std::filesystem::exists(w.state_file()))) {
    found.push_back("exit 0 with the kill switch left");
  }
  if (code == kRolledBack && (files != InstallWorld::kOldFiles || w.scm.running_version != "0.1.7")) {
    found.push_back("exit 25 without the previous version in service");
  }
  if (code == kStageDamaged && files != before) found.push_back("exit 20 with the files changed");
  if (code != kDone && code != kRolledBack && code != kStageDamaged) found.push_back(exit);
  return found;
}

Row explore(const InstallOperation& op) {
  Row row{op.name};
  int k = 0;
  int code = 0;
  const std::vector<InstallImage> images = record(op, code);
  for (const InstallImage& img : images) {
    ++k;
    const bool finished = !op.removal && code == install_code::kDone && k == int(images.size());
    ++row.crash_points;
    ++row.power_cut_points;  // a reboot always follows a power cut
    for (bool reboot : {false, true}) {
      for (bool fresh : {false, true}) {
        if (op.removal && fresh) continue;
        const std::vector<std::string> found = install_violations(img, reboot, op, fresh, finished);
        if (found.empty()) continue;
        const char* next = op.removal ? "--remove-service" : fresh ? "a fresh stage" : "the stage as left";
        std::string line =
            std::string(reboot ? "power cut" : "crash") + " after step " + std::to_string(k) + ", then " + next + ":";
        for (const std::string& v : found) line += " " + v + ";";
        row.violations.push_back(line);
      }
    }
  }
  return row;
}

TEST(CrashExplorer, EveryStepOfTheInstallerLeavesAStateTheNextRunCompletes) {
  explore_all(installer_operations());
}

}  // namespace
}  // namespace velk
