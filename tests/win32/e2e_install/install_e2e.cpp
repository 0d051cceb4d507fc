#include "install_e2e.h"

#include <fstream>
#include <sstream>

#include "pipe_line_client_win32.h"
#include "platform/sha256.h"
#include "platform/text.h"
#include "service_control.h"
#include "standin_view.h"

namespace velk::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

std::string read_file(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

void write_file(const fs::path& p, const std::string& bytes) {
  fs::create_directories(p.parent_path());
  std::ofstream(p, std::ios::binary) << bytes;
}

// remove_all, read-only files included (Windows deletes none of those).
void remove_tree(const fs::path& dir) {
  std::error_code ec;
  for (const auto& entry : fs::recursive_directory_iterator(dir, ec)) {
    SetFileAttributesW(entry.path().c_str(), FILE_ATTRIBUTE_NORMAL);
  }
  fs::remove_all(dir, ec);
}

}  // namespace

fs::path InstallE2e::install_dir() { return L"C:\\Program Files\\VELK VPN"; }

fs::path InstallE2e::state_dir() {
  wchar_t buffer[MAX_PATH];
  DWORD n = GetEnvironmentVariableW(L"ProgramData", buffer, MAX_PATH);
  return fs::path(n > 0 && n < MAX_PATH ? std::wstring(buffer, n) : std::wstring(L"C:\\ProgramData")) / L"VELK VPN";
}

Files InstallE2e::shipped() {
  const fs::path build = test_binary_dir();
  return {{"velkvpn-helper.exe", read_file(build / L"velkvpn-helper.exe")},
          {"velkvpn-engine.exe", read_file(build / L"velkvpn-engine.exe")},
          {"fwpuclnt.dll", read_file(build / L"fwpuclnt.dll")},
          {"readme.txt", "VELK VPN " + std::to_string(GetTickCount64()) + "\n"},
          {"donn\xC3\xA9" "es.bin", "data " + std::to_string(GetTickCount64())}};
}

std::string InstallE2e::other_version_helper() {
  const std::string exe = read_file(test_binary_dir() / L"velkvpn-helper-0.1.9.exe");
  EXPECT_FALSE(exe.empty()) << "velkvpn-helper-0.1.9.exe is missing from the build directory";
  return exe;
}

void InstallE2e::SetUp() {
  run({L"--remove-service", install_dir().wstring()});  // what an earlier run may have left
  std::error_code ec;
  remove_tree(install_dir());
  ASSERT_FALSE(fs::exists(install_dir())) << "cannot clear " << install_dir().string();
  fs::remove(state_dir() / L"install.log", ec);
  fs::remove(state_dir() / L"killswitch.json", ec);
  standin_tool({L"reset"});
}

void InstallE2e::TearDown() {
  run({L"--remove-service", install_dir().wstring()});
  remove_tree(install_dir());
  standin_tool({L"reset"});
}

void InstallE2e::stage(const Files& files, std::optional<std::vector<std::string>> manifest_names) {
  const fs::path dir = install_dir() / L".update-new";
  std::error_code ec;
  fs::remove_all(dir, ec);
  std::vector<std::string> names;
  if (manifest_names) {
    names = *manifest_names;
  } else {
    for (const auto& [name, bytes] : files) names.push_back(name);
  }
  std::string manifest;
  for (const auto& [name, bytes] : files) write_file(dir / path_from_utf8(name), bytes);
  for (const std::string& name : names) {
    const std::string& bytes = files.at(name);
    Sha256 hash;
    hash.update(bytes);
    manifest += hex_lower(*hash.finish()) + "  " + std::to_string(bytes.size()) + "  " + name + "\r\n";
  }
  write_file(dir / L"install-manifest.txt", manifest);
}

ProcessResult InstallE2e::run(const std::vector<std::wstring>& args, unsigned timeout_ms) {
  return run_helper(args, timeout_ms);
}

Lines InstallE2e::lines_of(const std::string& text) {
  Lines lines;
  std::size_t at = 0;
  while (at < text.size()) {
    std::size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(at, end - at));
    at = end + 1;
  }
  return lines;
}

ProcessResult InstallE2e::install(unsigned code, const Lines& lines) {
  ProcessResult r = run({L"--install-from-stage", install_dir().wstring()});
  EXPECT_EQ(r.exit_code, code) << r.out << r.err;
  if (!lines.empty()) {
    EXPECT_EQ(lines_of(r.out), lines);
  }
  return r;
}

void InstallE2e::install_shipped() {
  stage(shipped());
  ProcessResult r = run({L"--install-from-stage", install_dir().wstring()});
  ASSERT_EQ(r.exit_code, 0u) << r.out << r.err;
  std::error_code ec;
  fs::remove(state_dir() / L"install.log", ec);  // each test reads only its own run
  installed_ = files_in(install_dir());
}

Digests InstallE2e::digests(const Files& files) {
  Digests out;
  for (const auto& [name, bytes] : files) {
    Sha256 hash;
    hash.update(bytes);
    out[name] = std::to_string(bytes.size()) + " " + hex_lower(*hash.finish()).substr(0, 16);
  }
  return out;
}

Digests InstallE2e::files_in(const fs::path& dir) const {
  Files found;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(dir, ec)) {
    if (!entry.is_regular_file() || entry.path().filename() == L"install-manifest.txt") continue;  // no file of a version
    found[utf8_from_utf16(entry.path().filename().u16string())] = read_file(entry.path());
  }
  return digests(found);
}

Lines InstallE2e::install_log() const { return lines_of(read_file(state_dir() / L"install.log")); }

std::optional<Response> InstallE2e::ask(const std::string& line) const {
  std::optional<fixture::PipeLineClient> client = fixture::PipeLineClient::connect(fixture::kHelperPipe, 5s);
  if (!client || !client->send(line + "\n", 10s)) return std::nullopt;
  std::string answer;
  if (client->read_line(answer, 15s) != fixture::PipeLineClient::Read::line) return std::nullopt;
  Result<Response> decoded = decode_response(answer);
  if (!decoded) return std::nullopt;
  return *decoded;
}

std::optional<Status> InstallE2e::status() const {
  std::optional<Response> answer = ask("{\"cmd\":\"status\"}");
  if (!answer) return std::nullopt;
  if (const auto* s = std::get_if<Status>(&answer->value)) return *s;
  return std::nullopt;
}

void InstallE2e::stop_service() const {
  ScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  ScHandle service(manager.get() ? OpenServiceW(manager.get(), L"VelkVpnHelper", SERVICE_STOP) : nullptr);
  SERVICE_STATUS st{};
  if (service.get()) ControlService(service.get(), SERVICE_CONTROL_STOP, &st);
  for (int i = 0; i < 200 && service_status().dwCurrentState != SERVICE_STOPPED; ++i) Sleep(50);
}

SERVICE_STATUS_PROCESS InstallE2e::service_status() const {
  SERVICE_STATUS_PROCESS s{};
  ScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  ScHandle service(manager.get() ? OpenServiceW(manager.get(), L"VelkVpnHelper", SERVICE_QUERY_STATUS) : nullptr);
  DWORD needed = 0;
  if (!service.get() ||
      !QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<LPBYTE>(&s), sizeof s, &needed)) {
    return SERVICE_STATUS_PROCESS{};
  }
  return s;
}

std::string InstallE2e::service_command_line() const {
  ScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  ScHandle service(manager.get() ? OpenServiceW(manager.get(), L"VelkVpnHelper", SERVICE_QUERY_CONFIG) : nullptr);
  alignas(QUERY_SERVICE_CONFIGW) BYTE buffer[8192];
  DWORD needed = 0;
  if (!service.get() ||
      !QueryServiceConfigW(service.get(), reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer), sizeof buffer, &needed)) {
    return "(unreadable)";
  }
  const auto* path = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer)->lpBinaryPathName;
  return utf8_from_utf16(reinterpret_cast<const char16_t*>(path));
}

}  // namespace velk::test
