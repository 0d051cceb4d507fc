// The system's side of --diagnose: only queries. The service is opened for
// its configuration and status, the token for its elevation, the pipe for
// one status request; the filtering engine and the state directory are
// reached through the helper's own read-only functions.

#include <windows.h>

#include <vector>

#include "diagnose/diagnose_system.h"
#include "ipc/control_client.h"
#include "platform/clock.h"
#include "platform/text.h"
#include "platform/this_executable_win32.h"
#include "platform/unique_handle_win32.h"
#include "wfp/wfp_api_win32.h"

namespace velk {
namespace {

// A status within a few seconds, whatever the service does.
constexpr Clock::duration kStatusDeadline = std::chrono::seconds(3);

std::string narrow(const wchar_t* text) {
  return text == nullptr ? std::string() : utf8_from_utf16(reinterpret_cast<const char16_t*>(text));
}

// A QueryServiceConfig*W answer in a buffer of the size it asks for.
template <class Query>
std::optional<std::vector<BYTE>> query_buffer(Query query) {
  DWORD needed = 0;
  if (query(nullptr, 0, &needed) || GetLastError() != ERROR_INSUFFICIENT_BUFFER || needed == 0) return std::nullopt;
  std::vector<BYTE> buffer(needed);
  if (!query(buffer.data(), needed, &needed)) return std::nullopt;
  return buffer;
}

std::optional<std::string> command_line(SC_HANDLE service) {
  auto buffer = query_buffer([service](BYTE* b, DWORD n, DWORD* needed) {
    return QueryServiceConfigW(service, reinterpret_cast<QUERY_SERVICE_CONFIGW*>(b), n, needed) != 0;
  });
  if (!buffer) return std::nullopt;
  return narrow(reinterpret_cast<const QUERY_SERVICE_CONFIGW*>(buffer->data())->lpBinaryPathName);
}

// Wine answers ERROR_INVALID_LEVEL (124): the actions are then unknown.
std::optional<FailureActions> recovery_actions_of(SC_HANDLE service) {
  auto buffer = query_buffer([service](BYTE* b, DWORD n, DWORD* needed) {
    return QueryServiceConfig2W(service, SERVICE_CONFIG_FAILURE_ACTIONS, b, n, needed) != 0;
  });
  if (!buffer) return std::nullopt;
  const auto* info = reinterpret_cast<const SERVICE_FAILURE_ACTIONSW*>(buffer->data());
  FailureActions out;
  out.reset_period_s = info->dwResetPeriod;
  for (DWORD i = 0; i < info->cActions && info->lpsaActions != nullptr; ++i) {
    out.actions.push_back({static_cast<std::uint32_t>(info->lpsaActions[i].Type), info->lpsaActions[i].Delay});
  }
  return out;
}

class Win32DiagnoseSystem final : public DiagnoseSystem {
 public:
  Win32DiagnoseSystem()
      : wfp_(system_wfp_api()),
        state_dirs_(make_state_dir_system()),
        client_(system_helper_connector(), system_clock(), detached_thread_starter(), kStatusDeadline,
                std::string(kDefaultPipePath), served_by_helper_service(helper_service_pid)) {}

  std::optional<bool> elevated() override {
    UniqueHandle token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.put())) return std::nullopt;
    TOKEN_ELEVATION elevation{};
    DWORD size = 0;
    if (!GetTokenInformation(token.get(), TokenElevation, &elevation, sizeof elevation, &size)) return std::nullopt;
    return elevation.TokenIsElevated != 0;
  }

  std::optional<std::filesystem::path> executable_path() override { return this_executable_path(); }

  ServiceFacts service() override {
    ServiceFacts facts;
    UniqueScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager.get()) {
      facts.open_error = GetLastError();
      return facts;
    }
    UniqueScHandle service(OpenServiceW(manager.get(), L"VelkVpnHelper", SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS));
    if (!service.get()) {
      const DWORD error = GetLastError();
      if (error != ERROR_SERVICE_DOES_NOT_EXIST) facts.open_error = error;
      return facts;
    }
    facts.registered = true;
    SERVICE_STATUS_PROCESS status{};
    DWORD needed = 0;
    if (QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<LPBYTE>(&status), sizeof status,
                             &needed)) {
      facts.state = status.dwCurrentState;
      if (status.dwCurrentState == SERVICE_RUNNING) facts.pid = status.dwProcessId;
    }
    facts.command_line = command_line(service.get());
    facts.recovery = recovery_actions_of(service.get());
    return facts;
  }

  std::optional<Status> helper_status() override { return client_.query_helper_status(); }
  WfpApi& filtering() override { return *wfp_; }
  StateDirSystem& state_dirs() override { return *state_dirs_; }

 private:
  std::shared_ptr<WfpApi> wfp_;
  std::unique_ptr<StateDirSystem> state_dirs_;
  ControlClient client_;
};

}  // namespace

std::unique_ptr<DiagnoseSystem> system_diagnose_system() { return std::make_unique<Win32DiagnoseSystem>(); }

}  // namespace velk
