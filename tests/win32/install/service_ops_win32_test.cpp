// The service operations on Wine's real service manager, under a service name
// of this test's own: the registration as written, start, stop, delete.

#include <windows.h>

#include <gtest/gtest.h>

#include <memory>

#include "install/service_ops.h"
#include "platform/text.h"
#include "platform/unique_handle_win32.h"
#include "platform/windows_args.h"
#include "process_runner.h"
#include "../e2e/service_control.h"
#include "temp_dir.h"

namespace velk {
namespace {


using test::ScHandle;

std::string narrow(const wchar_t* w) { return utf8_from_utf16(reinterpret_cast<const char16_t*>(w)); }

class Win32ServiceOps : public ::testing::Test {
 public:
  // The service's DependOnService value as the service manager stored it.
  std::wstring dependencies() const {
    const std::wstring key = L"SYSTEM\\CurrentControlSet\\Services\\" + wname();
    wchar_t buffer[256] = {};
    DWORD size = sizeof buffer;
    if (RegGetValueW(HKEY_LOCAL_MACHINE, key.c_str(), L"DependOnService", RRF_RT_REG_MULTI_SZ, nullptr, buffer,
                     &size) != ERROR_SUCCESS) {
      return L"(unreadable)";
    }
    return std::wstring(buffer, size / sizeof(wchar_t));
  }

 protected:
  Win32ServiceOps()
      : name_("VelkVpnHelperInstallTest-" + std::to_string(GetCurrentProcessId())),
        scm_(system_service_manager(name_)),
        taskkill_(system_taskkill()),
        ops_(*scm_, *taskkill_, system_clock()),
        log_([](std::string_view) {}, nullptr) {}

  ~Win32ServiceOps() override {
    (void)ops_.stop_service(log_);
    (void)ops_.delete_service();
  }

  std::wstring wname() const { return std::wstring(name_.begin(), name_.end()); }

  std::string name_;
  std::unique_ptr<ServiceManager> scm_;
  std::unique_ptr<Taskkill> taskkill_;
  ServiceOps ops_;
  InstallLog log_;
  test::TempDir temp_;
};

TEST_F(Win32ServiceOps, RegistrationAsWritten) {
  const std::filesystem::path exe = L"C:\\Program Files\\VELK VPN\\velkvpn-helper.exe";
  ASSERT_TRUE(ops_.install_service(log_, exe));
  ASSERT_TRUE(ops_.service_exists());

  {
    ScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    ScHandle service(OpenServiceW(manager.get(), wname().c_str(), SERVICE_QUERY_CONFIG | SERVICE_CHANGE_CONFIG));
    auto config = [&] {
      alignas(QUERY_SERVICE_CONFIGW) static BYTE buffer[8192];
      DWORD needed = 0;
      EXPECT_TRUE(QueryServiceConfigW(service.get(), reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer), sizeof buffer, &needed));
      return reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer);
    };
    QUERY_SERVICE_CONFIGW* c = config();
    EXPECT_EQ(c->dwServiceType, static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS));
    EXPECT_EQ(c->dwStartType, static_cast<DWORD>(SERVICE_AUTO_START));
    EXPECT_EQ(c->dwErrorControl, static_cast<DWORD>(SERVICE_ERROR_NORMAL));
    EXPECT_EQ(narrow(c->lpBinaryPathName), "\"C:\\Program Files\\VELK VPN\\velkvpn-helper.exe\" --service");
    EXPECT_EQ(dependencies(), std::wstring(L"BFE\0\0", 5)) << "one entry";
    EXPECT_EQ(narrow(c->lpDisplayName), "VELK VPN helper");

    // Someone edits the start type; an update puts it back.
    ASSERT_TRUE(ChangeServiceConfigW(service.get(), SERVICE_NO_CHANGE, SERVICE_DEMAND_START, SERVICE_NO_CHANGE, nullptr,
                                     nullptr, nullptr, nullptr, nullptr, nullptr, nullptr));
    ASSERT_TRUE(ops_.install_service(log_, exe));
    EXPECT_EQ(config()->dwStartType, static_cast<DWORD>(SERVICE_AUTO_START));
  }  // our handles must not keep the service from going
  EXPECT_EQ(ops_.delete_service(), ServiceOps::Deletion::gone);
  EXPECT_FALSE(ops_.service_exists());
}

TEST_F(Win32ServiceOps, StartStopDeleteTheShippedHelper) {
  std::vector<std::string> lines;
  InstallLog log([&](std::string_view l) { lines.emplace_back(l); }, nullptr);
  ASSERT_TRUE(ops_.install_service(log, test::test_binary_dir() / L"velkvpn-helper.exe"));
  EXPECT_TRUE(lines.empty()) << "Wine accepts the recovery actions (and keeps nothing)";
  // Served on a pipe and state directory of this test, not the system's.
  {
    ScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    ScHandle service(OpenServiceW(manager.get(), wname().c_str(), SERVICE_CHANGE_CONFIG));
    std::vector<std::u16string> parts{(test::test_binary_dir() / L"velkvpn-helper.exe").u16string(), u"--service",
                                      u"--socket", u"\\\\.\\pipe\\velk-install-test-" +
                                                       utf16_from_utf8(std::to_string(GetCurrentProcessId())),
                                      u"--state-dir", temp_.path().u16string()};
    const std::u16string line = join_windows_command_line(parts);
    ASSERT_TRUE(ChangeServiceConfigW(service.get(), SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE,
                                     reinterpret_cast<const wchar_t*>(line.c_str()), nullptr, nullptr, nullptr,
                                     nullptr, nullptr, nullptr));
  }
  // A brand-new prefix may refuse the very first start.
  ASSERT_TRUE(ops_.start_service() || (Sleep(1000), ops_.start_service()));
  std::optional<ServiceStatus> status;
  for (int i = 0; i < 100 && !((status = ops_.service_status()) && status->state == scm::kRunning); ++i) Sleep(50);
  ASSERT_TRUE(status && status->state == scm::kRunning && status->pid);
  EXPECT_FALSE(ops_.start_service()) << "already running";

  EXPECT_TRUE(ops_.stop_service(log));
  EXPECT_TRUE(lines.empty());
  EXPECT_EQ(ops_.delete_service(), ServiceOps::Deletion::gone);
  EXPECT_FALSE(ops_.service_exists());
  EXPECT_TRUE(ops_.stop_service(log)) << "an absent service counts as stopped";
}

TEST(Win32Taskkill, EndsAProcessById) {
  STARTUPINFOW si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  const std::wstring exe = (test::test_binary_dir() / L"velkvpn-helper.exe").wstring();
  std::wstring cmd = L"\"" + exe + L"\" --socket \\\\.\\pipe\\velk-taskkill-" + std::to_wstring(GetCurrentProcessId());
  ASSERT_TRUE(CreateProcessW(exe.c_str(), cmd.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr, &si,
                             &pi));
  UniqueHandle process(pi.hProcess), thread(pi.hThread);
  EXPECT_EQ(WaitForSingleObject(pi.hProcess, 500), static_cast<DWORD>(WAIT_TIMEOUT)) << "serves until ended";
  system_taskkill()->run("/PID", std::to_string(pi.dwProcessId));
  EXPECT_EQ(WaitForSingleObject(pi.hProcess, 10000), static_cast<DWORD>(WAIT_OBJECT_0));
}

}  // namespace
}  // namespace velk
