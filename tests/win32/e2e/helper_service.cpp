#include "helper_service.h"

#include <tlhelp32.h>

#include <cctype>
#include <thread>

#include "platform/state_dir.h"
#include "platform/text.h"
#include "platform/unique_handle_win32.h"
#include "platform/windows_args.h"
#include "process_runner.h"

namespace velk::test {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

Route route(std::string tag, std::string server, std::uint16_t port) {
  Route r;
  r.tag = std::move(tag);
  r.server = std::move(server);
  r.port = port;
  r.uuid = "123e4567-e89b-12d3-a456-426614174000";
  r.server_name = "www.example.com";
  r.fingerprint = "chrome";
  r.public_key = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJ0123-_x";
  r.short_id = "0123abcd";
  return r;
}

// Letters, digits and '-' from the running test's name.
std::string test_tag() {
  const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
  std::string raw = info ? std::string(info->test_suite_name()) + "-" + info->name() : "none";
  std::string tag;
  for (char c : raw) tag += std::isalnum(static_cast<unsigned char>(c)) ? c : '-';
  return tag.substr(0, 80);
}

std::wstring wide(std::string_view utf8) {
  const std::u16string w = utf16_from_utf8(utf8);
  return std::wstring(w.begin(), w.end());
}

}  // namespace

EngineRequest two_routes() {
  EngineRequest request;
  request.routes.push_back(route("srv-1", "192.0.2.10", 443));
  request.routes.push_back(route("srv-2", "198.51.100.20", 8443));
  request.selected = "srv-1";
  return request;
}

std::string line_of(const Request& request) { return encode_request(request); }

std::string start_line(bool kill_switch) {
  return line_of(Request{Request::Start{two_routes(), kill_switch}});
}

std::string describe(const std::optional<Response>& response) {
  return response ? encode_response(*response) : std::string("(no answer)");
}

std::optional<Status> status_of(const std::optional<Response>& response) {
  if (!response) return std::nullopt;
  if (const auto* s = std::get_if<Status>(&response->value)) return *s;
  return std::nullopt;
}

std::optional<std::string> error_of(const std::optional<Response>& response) {
  if (!response) return std::nullopt;
  if (const auto* e = std::get_if<Response::Error>(&response->value)) return e->code;
  return std::nullopt;
}

std::optional<std::string> serve_mode_missing() {
  // Outside the service manager the dispatcher gives up only after about 10 s
  // under Wine; an exe without the mode answers at once.
  const ProcessResult r = run_helper({L"--service"}, 4000);
  if (r.timed_out || (r.exit_code == 0 && r.out.empty() && r.err.empty())) return std::nullopt;
  return "velkvpn-helper.exe --service outside the service manager exited with " + std::to_string(r.exit_code) +
         ": " + r.err;
}

std::vector<DWORD> engine_children(DWORD pid) {
  std::vector<DWORD> found;
  UniqueHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (!snapshot) return found;
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof entry;
  for (BOOL ok = Process32FirstW(snapshot.get(), &entry); ok; ok = Process32NextW(snapshot.get(), &entry)) {
    if (entry.th32ParentProcessID == pid && _wcsicmp(entry.szExeFile, L"velkvpn-engine.exe") == 0) {
      found.push_back(entry.th32ProcessID);
    }
  }
  return found;
}

HelperService::HelperService()
    : name_(L"VelkVpnHelperE2E-" + std::to_wstring(GetCurrentProcessId()) + L"-" + wide(test_tag())),
      pipe_("\\\\.\\pipe\\velk-e2e-" + std::to_string(GetCurrentProcessId()) + "-" + test_tag()),
      state_dir_(temp_.path() / L"VELK VPN") {
  (void)open_state_dir(state_dir_, StateDirUse::given_dir);  // made as the helper makes its own
}

HelperService::~HelperService() = default;

::testing::AssertionResult HelperService::start() {
  if (!service_) {
    std::vector<std::u16string> parts{(test_binary_dir() / L"velkvpn-helper.exe").u16string(), u"--service",
                                      u"--socket", utf16_from_utf8(pipe_), u"--state-dir", state_dir_.u16string()};
    const std::u16string line = join_windows_command_line(parts);
    DWORD error = 0;
    service_ = ServiceControl::create(name_, std::wstring(line.begin(), line.end()), error);
    if (!service_) return ::testing::AssertionFailure() << "CreateServiceW failed with " << error;
  }
  DWORD error = 0;
  if (!service_->start(error)) return ::testing::AssertionFailure() << "the service did not start: " << error;
  pid_ = service_->query().dwProcessId;
  // RUNNING is reported before the pipe exists.
  std::optional<fixture::PipeLineClient> client = connect(15s);
  if (!client) return ::testing::AssertionFailure() << "the pipe " << pipe_ << " did not appear";
  return ::testing::AssertionSuccess();
}

::testing::AssertionResult HelperService::stop() {
  if (!service_) return ::testing::AssertionFailure() << "never started";
  if (!service_->stop()) {
    return ::testing::AssertionFailure() << "the service did not stop; state " << service_->query().dwCurrentState;
  }
  return ::testing::AssertionSuccess();
}

std::optional<fixture::PipeLineClient> HelperService::connect(std::chrono::milliseconds wait) const {
  return fixture::PipeLineClient::connect(pipe_, wait);
}

std::optional<Response> HelperService::ask(const std::string& line, std::chrono::milliseconds limit) const {
  // Under Wine a client now and then opens a pipe instance that no server call
  // ever sees (seen with the helper and with pipe-load's plain echo server
  // alike): the request then goes unanswered while a new connection is served
  // at once. As an app does after its deadline, a request without any answer
  // is sent once more on a new connection; every request of these tests may
  // be repeated.
  std::string answer;
  for (int attempt = 0;; ++attempt) {
    std::optional<fixture::PipeLineClient> client = connect();
    if (!client || !client->send(line + "\n", limit)) return std::nullopt;
    const fixture::PipeLineClient::Read read = client->read_line(answer, limit);
    if (read == fixture::PipeLineClient::Read::line) break;
    if (read != fixture::PipeLineClient::Read::timed_out || attempt == 1) return std::nullopt;
  }
  Result<Response> decoded = decode_response(answer);
  if (!decoded) return std::nullopt;
  return *decoded;
}

std::optional<Status> HelperService::status() const { return status_of(ask("{\"cmd\":\"status\"}", 10s)); }

std::optional<Status> HelperService::wait_status(const std::function<bool(const Status&)>& done,
                                                 std::chrono::milliseconds limit) const {
  const Clock::time_point deadline = Clock::now() + limit;
  for (;;) {
    std::optional<Status> s = status();
    if ((s && done(*s)) || Clock::now() >= deadline) return s;
    std::this_thread::sleep_for(50ms);
  }
}

}  // namespace velk::test
