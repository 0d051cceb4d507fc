// Runs the built velkvpn-helper.exe as a child process and checks what it prints.

#include <windows.h>

#include <gtest/gtest.h>

#include <fstream>

#include <nlohmann/json.hpp>

#include "platform/unique_handle_win32.h"
#include "process_runner.h"
#include "temp_dir.h"

namespace velk::test {
namespace {

TEST(HelperExe, VersionLine) {
  auto r = run_helper({L"--version"});
  EXPECT_EQ(r.exit_code, 0u);
  EXPECT_EQ(r.out, "velkvpn-helper 0.1.8\n");
  EXPECT_EQ(r.err, "");
}

TEST(HelperExe, UnknownArgumentPrintsUsage) {
  auto r = run_helper({L"--bogus", L"--version"});
  EXPECT_EQ(r.exit_code, 2u);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err,
            "usage: velkvpn-helper [--socket PATH] [--engine PATH] [--state-dir PATH] [--arm-from-state | --recover]\n"
            "       velkvpn-helper --diagnose [--state-dir PATH] [--json]\n");
}

std::string read_all(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// The exe's default state directory under a ProgramData of the test's own,
// with the filtering-engine stand-in kept there too.
class DefaultStateDirExe : public ::testing::Test {
 protected:
  void SetUp() override {
    SetEnvironmentVariableW(L"ProgramData", tmp_.path().c_str());
    SetEnvironmentVariableW(L"VELK_FWP_STANDIN_DIR", (tmp_.path() / L"engine").c_str());
  }
  void TearDown() override {
    SetEnvironmentVariableW(L"ProgramData", saved_.empty() ? nullptr : saved_.c_str());
    SetEnvironmentVariableW(L"VELK_FWP_STANDIN_DIR", nullptr);
  }
  std::size_t filter_count() {
    ProcessResult r = run_program(test_binary_dir() / L"fwp-standin.exe", {L"dump"});
    auto doc = nlohmann::json::parse(r.out, nullptr, false);
    return doc.is_discarded() ? 0 : doc.at("filters").size();
  }

  std::wstring saved_ = [] {
    wchar_t buffer[MAX_PATH];
    DWORD n = GetEnvironmentVariableW(L"ProgramData", buffer, MAX_PATH);
    return n > 0 && n < MAX_PATH ? std::wstring(buffer, n) : std::wstring();
  }();
  TempDir tmp_;
  std::filesystem::path dir_ = tmp_.path() / L"VELK VPN";
};

// Held open by another process without delete sharing, the default directory
// can be neither used nor moved aside: --arm-from-state restores nothing from
// it, --recover still removes the filters, both say why on standard error.
TEST_F(DefaultStateDirExe, HeldBySomeoneElseTheModesFailClosed) {
  ASSERT_EQ(run_helper({L"--arm-from-state"}).exit_code, 0u);  // made here, by the helper
  ASSERT_TRUE(std::filesystem::is_directory(dir_));
  std::ofstream(dir_ / L"killswitch.json") << R"({"version":1,"pins":{}})";
  const std::size_t none = filter_count();
  UniqueHandle holder(CreateFileW(dir_.c_str(), GENERIC_READ | DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  ASSERT_TRUE(holder);

  ProcessResult arm = run_helper({L"--arm-from-state"});
  EXPECT_EQ(arm.exit_code, 0u);
  EXPECT_NE(arm.err.find("cannot be moved aside"), std::string::npos) << arm.err;
  EXPECT_EQ(filter_count(), none) << "nothing restored from a directory it could not hold";

  ProcessResult recover = run_helper({L"--recover"});
  EXPECT_EQ(recover.exit_code, 0u);
  EXPECT_EQ(recover.out, "VELK VPN no longer blocks the network.\n");
  EXPECT_NE(recover.err.find("cannot be moved aside"), std::string::npos) << recover.err;
  EXPECT_TRUE(std::filesystem::exists(dir_ / L"killswitch.json"));
  holder.reset();
  EXPECT_EQ(run_helper({L"--arm-from-state"}).err, "");
  EXPECT_GT(filter_count(), none) << "restored once nobody else holds it";
  EXPECT_EQ(run_helper({L"--recover"}).exit_code, 0u);
}

// --upgrade-inspect changes nothing, not even a file it is pointed at.
TEST_F(DefaultStateDirExe, InspectionLeavesAFileGivenAsTheStateDirectory) {
  const auto file = tmp_.path() / L"a-file";
  std::ofstream(file) << "keep";
  ProcessResult r = run_helper({L"--upgrade-inspect", L"--state-dir", file.wstring()});
  EXPECT_TRUE(r.exit_code == 0u || r.exit_code == 10u) << r.exit_code << r.err;
  EXPECT_NE(r.out.find("inspect: "), std::string::npos) << r.out;
  EXPECT_EQ(read_all(file), "keep");
  EXPECT_FALSE(std::filesystem::exists(dir_));
}

// --diagnose neither makes the default directory nor moves a planted one
// aside; it reports what it found there.
TEST_F(DefaultStateDirExe, DiagnoseLeavesTheDefaultDirectoryAsItFindsIt) {
  ProcessResult r = run_helper({L"--diagnose"});
  EXPECT_NE(r.out.find("state directory: " + dir_.string() + " (missing)"), std::string::npos) << r.out << r.err;
  EXPECT_FALSE(std::filesystem::exists(dir_));

  std::filesystem::create_directories(dir_ / L"planted");
  r = run_helper({L"--diagnose", L"--json"});
  const auto doc = nlohmann::json::parse(r.out, nullptr, false);
  ASSERT_FALSE(doc.is_discarded()) << r.out << r.err;
  EXPECT_EQ(doc["state_dir"]["judged"], "would be moved aside");
  EXPECT_EQ(r.exit_code, 1u);
  EXPECT_TRUE(std::filesystem::is_directory(dir_ / L"planted"));
}

}  // namespace
}  // namespace velk::test
