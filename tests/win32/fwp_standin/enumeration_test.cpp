// Enumeration by provider and layer, in pages, with memory the caller frees.

#include <algorithm>
#include <cstring>
#include <set>

#include "standin_support.h"

namespace velk::test {
namespace {

using nlohmann::json;
using namespace fwp_standin;

class Enumeration : public StandinTest {};

TEST_F(Enumeration, PagesThroughMoreThan256FiltersOfOneProviderAndLayer) {
  Engine e;
  ASSERT_NO_FATAL_FAILURE(add_test_provider_and_sublayer(e.get()));
  ASSERT_EQ(add_provider(e.get(), kOtherProvider), 0u);
  std::vector<UINT64> mine;
  ASSERT_EQ(FwpmTransactionBegin0(e.get(), 0), 0u);
  for (int i = 0; i < 300; ++i) {
    UINT64 id = 0;
    ASSERT_EQ(add_block(e.get(), 0, &id), 0u);
    mine.push_back(id);
    if (i % 60 == 0) {
      ASSERT_EQ(add_block(e.get(), 1), 0u);  // same provider, another layer
      FWPM_FILTER0 other = block_filter(0);  // same layer, another provider
      other.providerKey = const_cast<GUID*>(&kOtherProvider);
      ASSERT_EQ(FwpmFilterAdd0(e.get(), &other, nullptr, nullptr), 0u);
    }
  }
  ASSERT_EQ(FwpmTransactionCommit0(e.get()), 0u);

  Listing l = list_filters(e.get(), &kTestProvider, kLayers[0]);
  ASSERT_EQ(l.result, 0u);
  EXPECT_EQ(l.page_sizes, (std::vector<UINT32>{256, 44}));
  EXPECT_EQ(l.ids, mine);
  EXPECT_EQ(std::set<UINT64>(l.ids.begin(), l.ids.end()).size(), 300u);

  EXPECT_EQ(list_filters(e.get(), &kTestProvider, kLayers[1]).ids.size(), 5u);
  EXPECT_EQ(list_filters(e.get(), &kOtherProvider, kLayers[0]).ids.size(), 5u);
  EXPECT_EQ(list_filters(e.get(), nullptr, kLayers[0]).ids.size(), 305u);
  EXPECT_EQ(list_filters(e.get(), &kTestProvider, kLayers[2]).page_sizes, std::vector<UINT32>{0});

  // Exactly 256: the page after the full one comes back empty.
  ASSERT_EQ(FwpmTransactionBegin0(e.get(), 0), 0u);
  for (int i = 0; i < 44; ++i) ASSERT_EQ(FwpmFilterDeleteById0(e.get(), mine[static_cast<std::size_t>(i)]), 0u);
  ASSERT_EQ(FwpmTransactionCommit0(e.get()), 0u);
  EXPECT_EQ(list_filters(e.get(), &kTestProvider, kLayers[0]).page_sizes, (std::vector<UINT32>{256, 0}));
}

TEST_F(Enumeration, TheTemplateSelectsByActionAndHidesDisabledAndBootTimeFilters) {
  Engine e;
  ASSERT_NO_FATAL_FAILURE(add_test_provider_and_sublayer(e.get()));
  UINT64 block_id = 0;
  ASSERT_EQ(add_block(e.get(), 0, &block_id), 0u);
  FWPM_FILTER0 disabled = block_filter(0);
  disabled.flags |= FWPM_FILTER_FLAG_DISABLED;
  ASSERT_EQ(FwpmFilterAdd0(e.get(), &disabled, nullptr, nullptr), 0u);
  FWPM_FILTER0 boot = block_filter(0);
  boot.flags = FWPM_FILTER_FLAG_BOOTTIME;
  ASSERT_EQ(FwpmFilterAdd0(e.get(), &boot, nullptr, nullptr), 0u);

  EXPECT_EQ(list_filters(e.get(), &kTestProvider, kLayers[0]).ids, std::vector<UINT64>{block_id});

  FWPM_FILTER_ENUM_TEMPLATE0 t;
  std::memset(&t, 0, sizeof t);
  t.layerKey = kLayers[0];
  t.actionMask = 0;  // no action bit asked for: nothing matches
  HANDLE h = nullptr;
  ASSERT_EQ(FwpmFilterCreateEnumHandle0(e.get(), &t, &h), 0u);
  FWPM_FILTER0** entries = nullptr;
  UINT32 n = 7;
  ASSERT_EQ(FwpmFilterEnum0(e.get(), h, 256, &entries, &n), 0u);
  EXPECT_EQ(n, 0u);
  EXPECT_EQ(entries, nullptr);
  FwpmFilterDestroyEnumHandle0(e.get(), h);

  t.actionMask = 0xFFFFFFFF;
  t.flags = FWP_FILTER_ENUM_FLAG_INCLUDE_DISABLED | FWP_FILTER_ENUM_FLAG_INCLUDE_BOOTTIME;
  ASSERT_EQ(FwpmFilterCreateEnumHandle0(e.get(), &t, &h), 0u);
  ASSERT_EQ(FwpmFilterEnum0(e.get(), h, 256, &entries, &n), 0u);
  EXPECT_EQ(n, 3u);
  FwpmFreeMemory0(reinterpret_cast<void**>(&entries));
  FwpmFilterDestroyEnumHandle0(e.get(), h);

  t.flags = 0x400;
  EXPECT_EQ(FwpmFilterCreateEnumHandle0(e.get(), &t, &h), hr(FWP_E_INVALID_FLAGS));
}

// Run only as the child of the next test: leaks a block, then frees another twice.
TEST(EnumerationChild, DISABLED_MisusesMemory) {
  if (GetEnvironmentVariableW(L"VELK_FWP_STANDIN_CHILD", nullptr, 0) == 0) GTEST_SKIP();
  wchar_t self[MAX_PATH * 2];
  GetModuleFileNameW(nullptr, self, MAX_PATH * 2);
  FWP_BYTE_BLOB* leaked = nullptr;
  ASSERT_EQ(FwpmGetAppIdFromFileName0(self, &leaked), 0u);
  if (GetEnvironmentVariableW(L"VELK_FWP_STANDIN_CHILD_TWICE", nullptr, 0) == 0) return;
  FWP_BYTE_BLOB* blob = nullptr;
  ASSERT_EQ(FwpmGetAppIdFromFileName0(self, &blob), 0u);
  void* copy = blob;
  FwpmFreeMemory0(reinterpret_cast<void**>(&blob));
  FwpmFreeMemory0(&copy);
}

TEST(EnumerationMemory, LeaksAndDoubleFreesAreReported) {
  wchar_t self[MAX_PATH * 2];
  DWORD n = GetModuleFileNameW(nullptr, self, MAX_PATH * 2);
  const std::vector<std::wstring> args = {L"--gtest_also_run_disabled_tests",
                                          L"--gtest_filter=EnumerationChild.DISABLED_MisusesMemory"};
  SetEnvironmentVariableW(L"VELK_FWP_STANDIN_CHILD", L"1");
  ProcessResult leak = run_program(std::wstring(self, n), args);
  SetEnvironmentVariableW(L"VELK_FWP_STANDIN_CHILD_TWICE", L"1");
  ProcessResult twice = run_program(std::wstring(self, n), args);
  SetEnvironmentVariableW(L"VELK_FWP_STANDIN_CHILD_TWICE", nullptr);
  SetEnvironmentVariableW(L"VELK_FWP_STANDIN_CHILD", nullptr);

  EXPECT_EQ(leak.exit_code, 0u) << leak.out;
  EXPECT_NE(leak.err.find("1 block(s) from FwpmFilterEnum0/FwpmGetAppIdFromFileName0 never freed"), std::string::npos)
      << leak.err;
  EXPECT_NE(twice.exit_code, 0u);
  EXPECT_NE(twice.err.find("FwpmFreeMemory0 called on memory that is not a live block"), std::string::npos)
      << twice.err;
}

}  // namespace
}  // namespace velk::test
