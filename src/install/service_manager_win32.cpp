#include <windows.h>

#include <utility>

#include "install/service_manager.h"
#include "platform/text.h"
#include "platform/unique_handle_win32.h"

namespace velk {
namespace {

std::wstring wide(std::string_view utf8) {
  const std::u16string w = utf16_from_utf8(utf8);
  return std::wstring(w.begin(), w.end());
}

// Dependencies as a double-NUL-terminated list.
std::wstring dependency_list(const std::vector<std::string>& names) {
  std::wstring list;
  for (const std::string& name : names) {
    list += wide(name);
    list += L'\0';
  }
  list += L'\0';
  return list;
}

class Win32Service final : public ServiceHandle {
 public:
  explicit Win32Service(SC_HANDLE h) : h_(h) {}

  std::optional<ServiceStatus> query() override {
    SERVICE_STATUS_PROCESS s{};
    DWORD needed = 0;
    if (!QueryServiceStatusEx(h_.get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<LPBYTE>(&s), sizeof s, &needed)) {
      return std::nullopt;
    }
    ServiceStatus status{s.dwCurrentState, std::nullopt};
    if (s.dwCurrentState == SERVICE_RUNNING) status.pid = s.dwProcessId;
    return status;
  }

  std::uint32_t change_config(const ServiceRegistration& r) override {
    const std::wstring path = wide(r.command_line), display = wide(r.display_name);
    const std::wstring deps = dependency_list(r.dependencies);
    if (ChangeServiceConfigW(h_.get(), r.type, r.start_type, r.error_control, path.c_str(), nullptr, nullptr,
                             deps.c_str(), nullptr, nullptr, display.c_str())) {
      return 0;
    }
    return GetLastError();
  }

  bool set_failure_actions(const FailureActions& a) override {
    std::vector<SC_ACTION> actions;
    for (const FailureAction& f : a.actions) actions.push_back(SC_ACTION{static_cast<SC_ACTION_TYPE>(f.type), f.delay_ms});
    SC_ACTION none{};
    SERVICE_FAILURE_ACTIONSW info{};
    info.dwResetPeriod = a.reset_period_s;
    info.cActions = static_cast<DWORD>(actions.size());
    info.lpsaActions = actions.empty() ? &none : actions.data();  // non-null and empty removes every action
    return ChangeServiceConfig2W(h_.get(), SERVICE_CONFIG_FAILURE_ACTIONS, &info) != 0;
  }

  bool start() override { return StartServiceW(h_.get(), 0, nullptr) != 0; }

  bool control_stop() override {
    SERVICE_STATUS status{};
    return ControlService(h_.get(), SERVICE_CONTROL_STOP, &status) != 0;
  }

  std::uint32_t mark_for_delete() override { return DeleteService(h_.get()) ? 0 : GetLastError(); }

 private:
  UniqueScHandle h_;
};

class Win32ServiceManager final : public ServiceManager {
 public:
  explicit Win32ServiceManager(std::string_view name) : name_(wide(name)) {}

  OpenedService open_service(std::uint32_t access) override {
    UniqueScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT | SC_MANAGER_CREATE_SERVICE));
    if (!manager) return {nullptr, 0};
    SC_HANDLE service = OpenServiceW(manager.get(), name_.c_str(), access);
    if (!service) return {nullptr, GetLastError()};
    return {std::make_unique<Win32Service>(service), 0};
  }

  OpenedService create_service(const ServiceRegistration& r) override {
    UniqueScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT | SC_MANAGER_CREATE_SERVICE));
    if (!manager) return {nullptr, 0};
    const std::wstring path = wide(r.command_line), display = wide(r.display_name);
    const std::wstring deps = dependency_list(r.dependencies);
    SC_HANDLE service = CreateServiceW(manager.get(), name_.c_str(), display.c_str(),
                                       scm::kControlAccess, r.type, r.start_type, r.error_control, path.c_str(),
                                       nullptr, nullptr, deps.c_str(), nullptr, nullptr);
    if (!service) return {nullptr, GetLastError()};
    return {std::make_unique<Win32Service>(service), 0};
  }

 private:
  std::wstring name_;
};

}  // namespace

std::unique_ptr<ServiceManager> system_service_manager(std::string_view name) {
  return std::make_unique<Win32ServiceManager>(name);
}

}  // namespace velk
