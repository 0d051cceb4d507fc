// The two client tools against pipe-load's echo server, which needs no
// helper: velk-client prints each request and answer and reports a missing
// pipe; pipe-load's clients get answers from the echo server.

#include <gtest/gtest.h>

#include <windows.h>

#include <cstdint>
#include <cstdlib>

#include "platform/unique_handle_win32.h"
#include "platform/windows_args.h"
#include "process_runner.h"

namespace velk::test {
namespace {

using namespace std::chrono_literals;

std::wstring echo_pipe() { return L"\\\\.\\pipe\\velk-e2e-echo-" + std::to_wstring(GetCurrentProcessId()); }

// pipe-load --echo-server for the length of one test.
class EchoServer {
 public:
  explicit EchoServer(const std::wstring& pipe) {
    const std::filesystem::path exe = test_binary_dir() / L"pipe-load.exe";
    std::vector<std::u16string> parts{exe.u16string(), u"--echo-server", u"--pipe",
                                      std::u16string(pipe.begin(), pipe.end()), u"--seconds", u"60"};
    std::u16string line = join_windows_command_line(parts);
    std::wstring cmd(line.begin(), line.end());
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    if (CreateProcessW(exe.c_str(), cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) {
      process_.reset(pi.hProcess);
      CloseHandle(pi.hThread);
    }
  }
  ~EchoServer() {
    if (process_) {
      TerminateProcess(process_.get(), 0);
      WaitForSingleObject(process_.get(), 10000);
    }
  }
  bool running() const { return process_ && WaitForSingleObject(process_.get(), 0) == WAIT_TIMEOUT; }
  std::string state() const {
    DWORD code = 0;
    if (running() || !GetExitCodeProcess(process_.get(), &code)) return "the echo server runs";
    return "the echo server ended with " + std::to_string(code);
  }

 private:
  UniqueHandle process_;
};

// The number after " NAME=" in pipe-load's line of figures.
std::uint64_t figure(const std::string& line, const std::string& name) {
  const std::size_t at = line.find(" " + name + "=");
  return at == std::string::npos ? 0 : std::strtoull(line.c_str() + at + name.size() + 2, nullptr, 10);
}

ProcessResult client(const std::vector<std::wstring>& args) {
  return run_program(test_binary_dir() / L"velk-client.exe", args);
}

TEST(Tools, VelkClientPrintsEveryRequestAndAnswerAndSendsInvalidLinesAsTheyAre) {
  EchoServer echo(echo_pipe());
  ASSERT_TRUE(echo.running());
  ProcessResult r = client({L"--pipe", echo_pipe(), L"--wait-ms", L"10000", L"{\"cmd\":\"status\"}", L"not json"});
  const std::string status_line =
      "{\"result\":\"status\",\"protocol\":4,\"version\":\"0.1.8\",\"state\":\"stopped\",\"wanted\":false,"
      "\"selected\":null,\"active\":null,\"error\":null,\"restarts\":0,\"kill_switch\":\"off\","
      "\"needs_request\":false,\"session\":\"none\"}";
  EXPECT_EQ(r.exit_code, 0u) << r.err;
  EXPECT_EQ(r.out, "> {\"cmd\":\"status\"}\n< " + status_line + "\n> not json\n< " + status_line + "\n");
  EXPECT_EQ(r.err, "velk-client: note: not a valid request; sent as it is\n");
}

TEST(Tools, VelkClientFailsWhenThePipeCannotBeOpened) {
  ProcessResult r = client({L"--pipe", L"\\\\.\\pipe\\velk-e2e-nobody-here", L"--wait-ms", L"100", L"{\"cmd\":\"status\"}"});
  EXPECT_EQ(r.exit_code, 3u);
  EXPECT_EQ(r.out, "");
  EXPECT_NE(r.err.find("cannot open \\\\.\\pipe\\velk-e2e-nobody-here"), std::string::npos) << r.err;
}

TEST(Tools, VelkClientRefusesAnUnknownOption) {
  ProcessResult r = client({L"--bogus"});
  EXPECT_EQ(r.exit_code, 2u);
  EXPECT_TRUE(r.err.starts_with("usage: velk-client")) << r.err;
}

TEST(Tools, PipeLoadGetsAnswersFromTheEchoServer) {
  EchoServer echo(echo_pipe());
  ASSERT_TRUE(echo.running());
  for (const wchar_t* mode : {L"", L"--reconnect"}) {
    std::vector<std::wstring> args{L"--pipe", echo_pipe(), L"--clients", L"2", L"--seconds", L"0.5"};
    if (*mode) args.push_back(mode);
    ProcessResult r = run_program(test_binary_dir() / L"pipe-load.exe", args);
    EXPECT_EQ(r.exit_code, 0u) << r.out << r.err;
    // Under a loaded machine Wine now and then drops a new connection; the
    // tool counts the answer that never comes as an error, which is what it is
    // for. Such a client waits out its 10 s for it, so a run of reconnects may
    // hold only a few requests: most of them must still be answered.
    const std::uint64_t requests = figure(r.out, "requests"), errors = figure(r.out, "errors");
    EXPECT_GT(requests, 0u) << r.out;
    EXPECT_LT(errors * 2, requests) << r.out << r.err << echo.state();
  }
}

}  // namespace
}  // namespace velk::test
