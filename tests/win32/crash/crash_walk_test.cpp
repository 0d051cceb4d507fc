// The crash walk, for real: the shipped velkvpn-helper.exe serving from a
// console, the filtering stand-in told to end the helper's process at one of
// the filtering calls of an arm, a disarm, a restore at start or a watcher
// repair (as a crash or a power cut would end it: nothing after that call
// runs). The helper is then started again and what it shows is checked:
// killswitch.json absent or whole, the status armed exactly when filters are
// in force, and an emergency off that clears both.

#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "helper_service.h"
#include "killswitch/armed_state.h"
#include "platform/durable_file.h"
#include "platform/text.h"
#include "platform/unique_handle_win32.h"
#include "platform/windows_args.h"
#include "process_runner.h"
#include "standin_view.h"
#include "temp_dir.h"

namespace velk::test {
namespace {

using namespace std::chrono_literals;

constexpr DWORD kEndedByStandin = 0xE0D;  // fwp-standin end
// Wine ends the other threads of a process that ends itself first: one that was
// waiting on a thread already ended may abort (exit 3) in that moment. The
// process still died at the chosen call.
bool ended_at_the_call(std::optional<DWORD> code) { return code == kEndedByStandin || code == 3u; }
const std::string kEmergencyOff = "{\"cmd\":\"emergency_off\"}";

// On a loaded machine Wine now and then fails to launch a program or to hand
// over a pipe instance in time; a look (a status, a tool run that changes
// nothing when repeated) gets a few tries before it counts as missing (a dump
// gets its own in view_filters).
template <typename Look>
auto look(Look once) {
  for (int i = 0; i < 3; ++i) {
    if (auto seen = once()) return seen;
    std::this_thread::sleep_for(500ms);
  }
  return once();
}

bool tool(const std::vector<std::wstring>& args) {
  return look([&] { return standin_tool(args).exit_code == 0; });
}

// velkvpn-helper.exe serving the pipe in the foreground of a console.
class ConsoleHelper {
 public:
  ConsoleHelper(std::string pipe, std::filesystem::path state_dir)
      : pipe_(std::move(pipe)), state_dir_(std::move(state_dir)) {}
  ~ConsoleHelper() { kill(); }

  // Launches it; true once the pipe answers (false when it ended first).
  bool start() {
    kill();
    const std::filesystem::path exe = test_binary_dir() / L"velkvpn-helper.exe";
    const std::vector<std::u16string> parts{exe.u16string(), u"--socket", utf16_from_utf8(pipe_), u"--state-dir",
                                            state_dir_.u16string()};
    const std::u16string line = join_windows_command_line(parts);
    std::wstring cmd(line.begin(), line.end());
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    if (!CreateProcessW(exe.c_str(), cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) return false;
    process_.reset(pi.hProcess);
    CloseHandle(pi.hThread);
    for (auto end = std::chrono::steady_clock::now() + 15s; std::chrono::steady_clock::now() < end;) {
      if (status_of(ask("{\"cmd\":\"status\"}", 2s, 200ms))) return true;
      if (exited(0)) return false;
      std::this_thread::sleep_for(50ms);
    }
    return false;
  }
  // `wait`: how long every instance of the pipe may stay busy (under load, a while).
  std::optional<Response> ask(const std::string& line, std::chrono::milliseconds limit = 20s,
                              std::chrono::milliseconds wait = 5s) const {
    auto client = fixture::PipeLineClient::connect(pipe_, wait);
    if (!client || !client->send(line + "\n", limit)) return std::nullopt;
    std::string answer;
    if (client->read_line(answer, limit) != fixture::PipeLineClient::Read::line) return std::nullopt;
    auto decoded = decode_response(answer);
    return decoded ? std::optional<Response>(*decoded) : std::nullopt;
  }
  // Its exit code once it has ended within `limit`.
  std::optional<DWORD> exited(DWORD limit_ms) const {
    DWORD code = 0;
    if (!process_ || WaitForSingleObject(process_.get(), limit_ms) != WAIT_OBJECT_0 ||
        !GetExitCodeProcess(process_.get(), &code)) {
      return std::nullopt;
    }
    return code;
  }
  void kill() {
    if (!process_) return;
    TerminateProcess(process_.get(), 1);
    WaitForSingleObject(process_.get(), 10000);
    process_.reset();
  }

 private:
  std::string pipe_;
  std::filesystem::path state_dir_;
  UniqueHandle process_;
};

// One place to end the helper: the `nth` call of `function` (after it took
// effect with `after`), during `operation`.
struct Cut {
  const char* operation;  // arm, disarm, restore, repair
  const char* function;
  int nth;
  bool after;
};

// The filtering calls that change what persists, and one inside each
// transaction. Watcher passes enumerate and open sessions every second, so
// only calls of installs and removals are counted.
const Cut kCuts[] = {
    {"arm", "FwpmTransactionBegin0", 1, false},   // state file written, nothing installed
    {"arm", "FwpmFilterAdd0", 5, false},          // inside the transaction
    {"arm", "FwpmTransactionCommit0", 1, true},   // installed, not yet checked
    {"disarm", "FwpmTransactionBegin0", 1, false},  // state file deleted, every filter in force
    {"disarm", "FwpmFilterDeleteById0", 3, false},  // inside the transaction
    {"disarm", "FwpmTransactionCommit0", 1, true},  // filters gone, sublayer and provider left
    {"restore", "FwpmTransactionBegin0", 1, false},
    {"restore", "FwpmTransactionCommit0", 1, true},
    {"repair", "FwpmTransactionBegin0", 1, false},
    {"repair", "FwpmTransactionCommit0", 1, true},
};

class CrashWalk : public ::testing::Test {
 protected:
  void SetUp() override { SetEnvironmentVariableW(L"VELK_FWP_STANDIN_DIR", (tmp_.path() / L"engine").c_str()); }
  void TearDown() override {
    helper_.kill();
    SetEnvironmentVariableW(L"VELK_FWP_STANDIN_DIR", nullptr);
  }

  std::filesystem::path state_dir() const { return tmp_.path() / L"VELK VPN"; }
  std::filesystem::path state_file() const { return state_dir() / L"killswitch.json"; }

  // Runs one cut; what it left broken, empty when nothing.
  std::vector<std::string> walk(const Cut& cut) {
    std::vector<std::string> found;
    helper_.kill();
    std::filesystem::remove_all(state_dir());
    if (!tool({L"reset"})) return {"fwp-standin reset failed"};

    const std::string op = cut.operation;
    if (!helper_.start()) return {"the helper did not start"};
    if (op != "arm") {
      const auto answer = helper_.ask(start_line(true));
      const auto s = status_of(answer);
      if (!s || s->kill_switch != KillSwitch::armed) {
        return {"the kill switch could not be armed first: " + describe(answer)};
      }
    }
    if (op == "restore") helper_.kill();

    std::vector<std::wstring> end{L"end", utf16w(cut.function), std::to_wstring(cut.nth)};
    if (cut.after) end.push_back(L"after");
    if (!tool(end)) return {"fwp-standin end failed"};
    if (op == "arm") (void)helper_.ask(start_line(true), 5s);
    if (op == "disarm") (void)helper_.ask(kEmergencyOff, 5s);
    if (op == "restore") (void)helper_.start();
    if (op == "repair") (void)standin_tool({L"delete-layer", L"2"});
    const std::optional<DWORD> code = helper_.exited(15000);
    (void)tool({L"clear-failures"});
    if (!ended_at_the_call(code)) {
      return {"the helper was not ended at that call (exit " + (code ? std::to_string(*code) : "none") + ")"};
    }

    // The next start.
    if (!helper_.start()) return {"the helper did not start again"};
    if (auto text = read_small_file(state_file(), 1 << 20); text && !armed_state_from_json(*text)) {
      found.push_back("killswitch.json torn");
    }
    const auto s = look([&] { return status_of(helper_.ask("{\"cmd\":\"status\"}")); });
    if (!s) return {"no status"};
    const auto view = view_filters();
    if (!view) return {"no dump"};
    const bool armed = s->kill_switch == KillSwitch::armed;
    if (!armed && view->filters > 0) found.push_back("network blocked while the status reads off: " + describe(*view));
    if (armed && !view->every_layer_blocked()) found.push_back("armed with a layer open: " + describe(*view));

    // The owner clears whatever is left.
    const auto off = look([&] { return status_of(helper_.ask(kEmergencyOff)); });
    const auto after = view_filters();
    if (!off || off->kill_switch != KillSwitch::off || !after || after->filters > 0 ||
        std::filesystem::exists(state_file())) {
      found.push_back("emergency off does not clear it");
    }
    return found;
  }

  static std::wstring utf16w(std::string_view s) { return std::wstring(s.begin(), s.end()); }

  TempDir tmp_;
  ConsoleHelper helper_{"\\\\.\\pipe\\velk-crash-" + std::to_string(GetCurrentProcessId()), state_dir()};
};

TEST_F(CrashWalk, EveryFilteringStepCutShortLeavesWhatTheNextStartShowsOrRepairs) {
  const auto began = std::chrono::steady_clock::now();
  int violations = 0;
  std::printf("%-8s %-24s %3s %-6s %s\n", "op", "ended at", "nth", "after", "result");
  for (const Cut& cut : kCuts) {
    const std::vector<std::string> found = walk(cut);
    std::printf("%-8s %-24s %3d %-6s %s\n", cut.operation, cut.function, cut.nth, cut.after ? "yes" : "no",
                found.empty() ? "ok" : found.front().c_str());
    for (const std::string& f : found) {
      ++violations;
      ADD_FAILURE() << cut.operation << ", ended at " << cut.function << " #" << cut.nth
                    << (cut.after ? " (after)" : "") << ": " << f;
    }
  }
  const auto took = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - began);
  std::printf("%zu cuts, %d violations, %lld s\n", std::size(kCuts), violations, static_cast<long long>(took.count()));
}

}  // namespace
}  // namespace velk::test
