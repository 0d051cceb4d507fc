#pragma once
// Shared pieces of the filtering-engine stand-in tests: a private state directory
// per test, an engine session, object builders, and the inspection tool.

#include <windows.h>
#include <fwpmu.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "guids.h"
#include "process_runner.h"
#include "temp_dir.h"

namespace velk::test {

inline constexpr GUID kTestProvider = {0x5e5e0001, 0x1111, 0x4222, {0x83, 0x33, 0x44, 0x44, 0x55, 0x55, 0x66, 0x01}};
inline constexpr GUID kTestSublayer = {0x5e5e0002, 0x1111, 0x4222, {0x83, 0x33, 0x44, 0x44, 0x55, 0x55, 0x66, 0x02}};
inline constexpr GUID kOtherProvider = {0x5e5e0003, 0x1111, 0x4222, {0x83, 0x33, 0x44, 0x44, 0x55, 0x55, 0x66, 0x03}};
inline constexpr std::uint32_t kGenFailure = 31;

inline DWORD hr(HRESULT h) { return static_cast<DWORD>(h); }

// Each test gets its own engine state; child processes inherit the variable.
class StandinTest : public ::testing::Test {
 protected:
  void SetUp() override { SetEnvironmentVariableW(L"VELK_FWP_STANDIN_DIR", dir_.path().c_str()); }
  void TearDown() override { SetEnvironmentVariableW(L"VELK_FWP_STANDIN_DIR", nullptr); }
  TempDir dir_;
};

class Engine {
 public:
  explicit Engine(const FWPM_SESSION0* session = nullptr) {
    open_result_ = FwpmEngineOpen0(nullptr, RPC_C_AUTHN_WINNT, nullptr, session, &h_);
  }
  ~Engine() {
    if (h_) FwpmEngineClose0(h_);
  }
  Engine(const Engine&) = delete;
  Engine& operator=(const Engine&) = delete;
  HANDLE get() const { return h_; }
  DWORD open_result() const { return open_result_; }

 private:
  HANDLE h_ = nullptr;
  DWORD open_result_ = 0;
};

DWORD add_provider(HANDLE engine, const GUID& key, UINT32 flags = FWPM_PROVIDER_FLAG_PERSISTENT);
DWORD add_sublayer(HANDLE engine, const GUID& key, const GUID* provider, UINT32 flags = FWPM_SUBLAYER_FLAG_PERSISTENT,
                   UINT16 weight = 0xFFFF);
// The test provider and its sublayer, both persistent.
void add_test_provider_and_sublayer(HANDLE engine);

// A persistent block-everything filter of the test provider and sublayer in layer 0..3.
FWPM_FILTER0 block_filter(int layer);
DWORD add_block(HANDLE engine, int layer, UINT64* id = nullptr);

// The ids of the provider's filters in one layer, paged as the helper pages.
struct Listing {
  DWORD result = 0;
  std::vector<UINT64> ids;
  std::vector<UINT32> page_sizes;
};
Listing list_filters(HANDLE engine, const GUID* provider, const GUID& layer, UINT32 page = 256);

// fwp-standin.exe from the build directory.
ProcessResult run_tool(const std::vector<std::wstring>& args);
nlohmann::json dump();

}  // namespace velk::test
