// Installs that must not go through: a damaged stage, a file held open by
// another process, and a squatter on the helper's pipe name answering for a
// new service that never comes up.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <thread>

#include "install_e2e.h"
#include "ipc/pipe_server_access.h"
#include "platform/unique_handle_win32.h"
#include "service_control.h"

namespace velk::test {
namespace {

TEST_F(InstallE2e, DamagedStageChangesNothing) {
  ASSERT_NO_FATAL_FAILURE(install_shipped());
  const DWORD pid = service_status().dwProcessId;
  for (const std::string damage : {"tampered", "no helper listed", "one file listed twice"}) {
    if (damage == "tampered") {
      stage(shipped());
      std::ofstream(install_dir() / L".update-new" / L"readme.txt", std::ios::binary) << "tampered";
    } else if (damage == "no helper listed") {
      stage(shipped(), std::vector<std::string>{"velkvpn-engine.exe", "readme.txt"});
    } else {
      Files files = shipped();
      files["README.TXT"] = files["readme.txt"];  // the same file to Windows
      stage(files, std::vector<std::string>{"velkvpn-helper.exe", "readme.txt", "README.TXT"});
    }
    install(20, {kInstallLine, "the new files are incomplete or damaged; nothing was changed", "result 20"});
    EXPECT_EQ(files_in(install_dir()), installed_) << damage;
    EXPECT_EQ(service_status().dwProcessId, pid) << "the old service was not touched";
    ASSERT_TRUE(status()) << "the old service still answers";
  }
}

// A .update-old no unfinished swap left is never moved over the installed files.
TEST_F(InstallE2e, FileHeldOpenByAnotherProcessStopsTheInstall) {
  ASSERT_NO_FATAL_FAILURE(install_shipped());
  std::filesystem::create_directories(install_dir() / L".update-old");
  std::ofstream(install_dir() / L".update-old" / L"velkvpn-helper.exe", std::ios::binary) << "an older helper";
  UniqueHandle held(CreateFileW((install_dir() / L"donn\u00e9es.bin").c_str(), GENERIC_READ, 0, nullptr,
                                OPEN_EXISTING, 0, nullptr));
  ASSERT_TRUE(held);
  stage(shipped());
  install(23, {kInstallLine, kVpnOff, "donn\xC3\xA9" "es.bin is in use", "result 23"});
  held.reset();
  EXPECT_EQ(files_in(install_dir()), installed_);
  EXPECT_FALSE(std::filesystem::exists(install_dir() / L".update-old" / L"velkvpn-helper.exe"));
  std::optional<Status> s;
  for (int i = 0; i < 100 && !(s = status()); ++i) Sleep(100);
  ASSERT_TRUE(s) << "the old service is back and answering";
}

// Serves the helper's pipe name from this process with one instance only,
// answering every line with a status of version 0.1.8, until stopped.
class Squatter {
 public:
  Squatter() {
    pipe_ = UniqueHandle(CreateNamedPipeW(L"\\\\.\\pipe\\velkvpn-helper", PIPE_ACCESS_DUPLEX,
                                          PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 1, 4096, 4096, 0, nullptr));
    if (pipe_) thread_ = std::thread([this] { serve(); });
  }
  ~Squatter() {
    stop_ = true;
    // Wakes a waiting ConnectNamedPipe.
    UniqueHandle wake(CreateFileW(L"\\\\.\\pipe\\velkvpn-helper", kClientPipeAccess, 0, nullptr, OPEN_EXISTING,
                                  SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr));
    if (thread_.joinable()) thread_.join();
  }
  bool serving() const { return static_cast<bool>(pipe_); }

 private:
  void serve() {
    const std::string answer =
        R"({"result":"status","protocol":4,"version":"0.1.8","state":"stopped","wanted":false,"selected":null,)"
        R"("active":null,"error":null,"restarts":0,"kill_switch":"off","needs_request":false,"session":"none"})"
        "\n";
    while (!stop_) {
      if (!ConnectNamedPipe(pipe_.get(), nullptr) && GetLastError() != ERROR_PIPE_CONNECTED) break;
      char buffer[512];
      DWORD got = 0;
      if (!stop_ && ReadFile(pipe_.get(), buffer, sizeof buffer, &got, nullptr) && got > 0) {
        DWORD written = 0;
        WriteFile(pipe_.get(), answer.data(), static_cast<DWORD>(answer.size()), &written, nullptr);
        FlushFileBuffers(pipe_.get());
      }
      DisconnectNamedPipe(pipe_.get());
    }
  }

  UniqueHandle pipe_;
  std::thread thread_;
  std::atomic<bool> stop_{false};
};

TEST_F(InstallE2e, SquatterOnThePipeNameIsNotBelieved) {
  ASSERT_NO_FATAL_FAILURE(install_shipped());
  // Stop the old service by hand so the squatter can take the only instance.
  stop_service();
  ASSERT_EQ(service_status().dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
  for (int i = 0; i < 50 && status(); ++i) Sleep(100);  // the old pipe goes with its process
  Squatter squatter;
  ASSERT_TRUE(squatter.serving()) << GetLastError();
  ASSERT_TRUE(status()) << "the squatter answers whoever asks";

  stage(shipped());
  const Lines lines = lines_of(install(25).out);
  EXPECT_NE(std::find(lines.begin(), lines.end(), kRollback), lines.end());
  EXPECT_EQ(files_in(install_dir()), installed_);
}

}  // namespace
}  // namespace velk::test
