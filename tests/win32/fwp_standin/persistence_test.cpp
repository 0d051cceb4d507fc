// The stand-in is the fwpuclnt.dll Wine loads, and what one process installs is
// what every other process of the prefix sees, field for field.

#include <cstring>
#include <cwctype>
#include <fstream>
#include <set>
#include <thread>

#include "standin_support.h"

namespace velk::test {
namespace {

using nlohmann::json;
using namespace fwp_standin;

std::wstring lower(std::wstring s) {
  for (auto& c : s) c = static_cast<wchar_t>(std::towlower(c));
  return s;
}

TEST(StandinDll, TheDllBesideTheExeIsTheOneLoaded) {
  HMODULE m = GetModuleHandleW(L"fwpuclnt.dll");
  ASSERT_NE(m, nullptr);
  wchar_t path[MAX_PATH * 2];
  DWORD n = GetModuleFileNameW(m, path, MAX_PATH * 2);
  ASSERT_GT(n, 0u);
  EXPECT_EQ(lower(std::wstring(path, n)), lower((test_binary_dir() / L"fwpuclnt.dll").wstring()));
}

// The conditions of the helper's rule kinds, held for the duration of one add.
struct RichFilters {
  UINT64 luid = 0x0006001234000000ull;
  FWP_BYTE_ARRAY16 v6{{0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x01}};
  std::vector<UINT8> app_bytes;
  FWP_BYTE_BLOB app{};
  FWPM_FILTER_CONDITION0 loopback[1]{};
  FWPM_FILTER_CONDITION0 tunnel[1]{};
  FWPM_FILTER_CONDITION0 endpoint4[4]{};
  FWPM_FILTER_CONDITION0 endpoint6[4]{};

  RichFilters() {
    const wchar_t text[] = L"\\device\\harddiskvolume3\\velk\\velkvpn-engine.exe";
    app_bytes.assign(reinterpret_cast<const UINT8*>(text), reinterpret_cast<const UINT8*>(text) + sizeof text);
    app.size = static_cast<UINT32>(app_bytes.size());
    app.data = app_bytes.data();
    loopback[0].fieldKey = kConditionFlags;
    loopback[0].matchType = FWP_MATCH_FLAGS_ALL_SET;
    loopback[0].conditionValue.type = FWP_UINT32;
    loopback[0].conditionValue.uint32 = FWP_CONDITION_FLAG_IS_LOOPBACK;
    tunnel[0].fieldKey = kConditionIpLocalInterface;
    tunnel[0].matchType = FWP_MATCH_EQUAL;
    tunnel[0].conditionValue.type = FWP_UINT64;
    tunnel[0].conditionValue.uint64 = &luid;
    for (auto* c : {endpoint4, endpoint6}) {
      c[0].fieldKey = kConditionAleAppId;
      c[0].conditionValue.type = FWP_BYTE_BLOB_TYPE;
      c[0].conditionValue.byteBlob = &app;
      c[1].fieldKey = kConditionIpProtocol;
      c[1].conditionValue.type = FWP_UINT8;
      c[1].conditionValue.uint8 = 6;
      c[2].fieldKey = kConditionIpRemoteAddress;
      c[3].fieldKey = kConditionIpRemotePort;
      c[3].conditionValue.type = FWP_UINT16;
      c[3].conditionValue.uint16 = 443;
    }
    endpoint4[2].conditionValue.type = FWP_UINT32;
    endpoint4[2].conditionValue.uint32 = 0xC0000201;  // 192.0.2.1, host order
    endpoint6[2].conditionValue.type = FWP_BYTE_ARRAY16_TYPE;
    endpoint6[2].conditionValue.byteArray16 = &v6;
  }

  static FWPM_FILTER0 permit(int layer, FWPM_FILTER_CONDITION0* conds, UINT32 n) {
    FWPM_FILTER0 f = block_filter(layer);
    f.displayData.name = const_cast<wchar_t*>(L"VELK VPN kill switch: permit");
    f.weight.uint8 = 10;
    f.action.type = FWP_ACTION_PERMIT;
    f.numFilterConditions = n;
    f.filterCondition = conds;
    return f;
  }
};

class Persistence : public StandinTest {};

TEST_F(Persistence, ObjectsOutliveTheSessionAndAnotherProcessSeesEveryField) {
  UINT64 ids[5] = {};
  {
    Engine e;
    ASSERT_EQ(e.open_result(), 0u);
    ASSERT_NO_FATAL_FAILURE(add_test_provider_and_sublayer(e.get()));
    RichFilters r;
    FWPM_FILTER0 block = block_filter(0);
    block.displayData.name = const_cast<wchar_t*>(L"VELK VPN kill switch: block");
    block.flags = FWPM_FILTER_FLAG_PERSISTENT | FWPM_FILTER_FLAG_CLEAR_ACTION_RIGHT;
    FWPM_FILTER0 filters[5] = {block, RichFilters::permit(0, r.loopback, 1), RichFilters::permit(0, r.tunnel, 1),
                               RichFilters::permit(0, r.endpoint4, 4), RichFilters::permit(1, r.endpoint6, 4)};
    for (int i = 0; i < 5; ++i) ASSERT_EQ(FwpmFilterAdd0(e.get(), &filters[i], nullptr, &ids[i]), 0u) << i;
  }
  for (UINT64 id : ids) EXPECT_GT(id, 0xFFFFFFFFull) << "ids are 64-bit";

  json d = dump();
  ASSERT_EQ(d["providers"].size(), 1u);
  EXPECT_EQ(d["providers"][0]["key"], "5e5e0001-1111-4222-8333-444455556601");
  EXPECT_EQ(d["providers"][0]["name"], "test provider");
  EXPECT_EQ(d["providers"][0]["flags"], 1);
  EXPECT_EQ(d["providers"][0]["description"], nullptr);
  ASSERT_EQ(d["sublayers"].size(), 1u);
  EXPECT_EQ(d["sublayers"][0]["provider_key"], "5e5e0001-1111-4222-8333-444455556601");
  EXPECT_EQ(d["sublayers"][0]["weight"], 0xFFFF);
  EXPECT_EQ(d["sublayers"][0]["flags"], 1);

  json& f = d["filters"];
  ASSERT_EQ(f.size(), 5u);
  EXPECT_EQ(f[0]["id"], ids[0]);
  EXPECT_EQ(f[0]["name"], "VELK VPN kill switch: block");
  EXPECT_EQ(f[0]["flags"], 9);
  EXPECT_EQ(f[0]["layer"], 0);
  EXPECT_EQ(f[0]["layer_key"], "c38d57d1-05a7-4c33-904f-7fbceee60e82");
  EXPECT_EQ(f[0]["sublayer_key"], "5e5e0002-1111-4222-8333-444455556602");
  EXPECT_EQ(f[0]["provider_key"], "5e5e0001-1111-4222-8333-444455556601");
  EXPECT_EQ(f[0]["weight"], (json{{"type", "FWP_UINT8"}, {"value", 0}}));
  EXPECT_EQ(f[0]["action"], "FWP_ACTION_BLOCK");
  EXPECT_EQ(f[0]["conditions"], json::array());
  EXPECT_EQ(f[0]["key"].get<std::string>().size(), 36u);
  EXPECT_NE(f[0]["key"], "00000000-0000-0000-0000-000000000000") << "a zero key gets a generated one";

  EXPECT_EQ(f[1]["action"], "FWP_ACTION_PERMIT");
  EXPECT_EQ(f[1]["weight"]["value"], 10);
  EXPECT_EQ(f[1]["conditions"], (json::array({json{{"field", "FLAGS"},
                                                   {"field_key", "632ce23b-5167-435c-86d7-e903684aa80c"},
                                                   {"match", "FWP_MATCH_FLAGS_ALL_SET"},
                                                   {"type", "FWP_UINT32"},
                                                   {"value", 1}}})));
  EXPECT_EQ(f[2]["conditions"][0]["field"], "IP_LOCAL_INTERFACE");
  EXPECT_EQ(f[2]["conditions"][0]["type"], "FWP_UINT64");
  EXPECT_EQ(f[2]["conditions"][0]["value"], 0x0006001234000000ull);

  json& e4 = f[3]["conditions"];
  ASSERT_EQ(e4.size(), 4u);
  EXPECT_EQ(e4[0]["field"], "ALE_APP_ID");
  EXPECT_EQ(e4[0]["type"], "FWP_BYTE_BLOB_TYPE");
  EXPECT_EQ(e4[0]["text"], "\\device\\harddiskvolume3\\velk\\velkvpn-engine.exe");
  EXPECT_EQ(e4[1], (json{{"field", "IP_PROTOCOL"},
                         {"field_key", "3971ef2b-623e-4f9a-8cb1-6e79b806b9a7"},
                         {"match", "FWP_MATCH_EQUAL"},
                         {"type", "FWP_UINT8"},
                         {"value", 6}}));
  EXPECT_EQ(e4[2]["type"], "FWP_UINT32");
  EXPECT_EQ(e4[2]["value"], 0xC0000201u);
  EXPECT_EQ(e4[3]["field"], "IP_REMOTE_PORT");
  EXPECT_EQ(e4[3]["type"], "FWP_UINT16");
  EXPECT_EQ(e4[3]["value"], 443);

  EXPECT_EQ(f[4]["layer"], 1);
  EXPECT_EQ(f[4]["conditions"][2]["type"], "FWP_BYTE_ARRAY16_TYPE");
  EXPECT_EQ(f[4]["conditions"][2]["value"], "20010db8000000000000000000000001");
}

TEST_F(Persistence, ANewSessionEnumeratesTheStoredFiltersAsStructures) {
  RichFilters r;
  UINT64 id = 0;
  {
    Engine e;
    ASSERT_NO_FATAL_FAILURE(add_test_provider_and_sublayer(e.get()));
    FWPM_FILTER0 f = RichFilters::permit(1, r.endpoint6, 4);
    ASSERT_EQ(FwpmFilterAdd0(e.get(), &f, nullptr, &id), 0u);
    FWPM_FILTER0 t = RichFilters::permit(0, r.tunnel, 1);
    ASSERT_EQ(FwpmFilterAdd0(e.get(), &t, nullptr, nullptr), 0u);
  }
  Engine e;
  FWPM_FILTER_ENUM_TEMPLATE0 t;
  std::memset(&t, 0, sizeof t);
  t.providerKey = const_cast<GUID*>(&kTestProvider);
  t.layerKey = kLayerAleAuthConnectV6;
  t.enumType = FWP_FILTER_ENUM_OVERLAPPING;
  t.actionMask = 0xFFFFFFFF;
  HANDLE h = nullptr;
  ASSERT_EQ(FwpmFilterCreateEnumHandle0(e.get(), &t, &h), 0u);
  FWPM_FILTER0** entries = nullptr;
  UINT32 n = 0;
  ASSERT_EQ(FwpmFilterEnum0(e.get(), h, 256, &entries, &n), 0u);
  ASSERT_EQ(n, 1u);
  const FWPM_FILTER0& f = *entries[0];
  EXPECT_EQ(f.filterId, id);
  EXPECT_STREQ(f.displayData.name, L"VELK VPN kill switch: permit");
  EXPECT_EQ(f.displayData.description, nullptr);
  ASSERT_NE(f.providerKey, nullptr);
  EXPECT_TRUE(IsEqualGUID(*f.providerKey, kTestProvider));
  EXPECT_TRUE(IsEqualGUID(f.layerKey, kLayerAleAuthConnectV6));
  EXPECT_TRUE(IsEqualGUID(f.subLayerKey, kTestSublayer));
  EXPECT_EQ(f.weight.type, FWP_UINT8);
  EXPECT_EQ(f.weight.uint8, 10);
  EXPECT_EQ(f.action.type, static_cast<UINT32>(FWP_ACTION_PERMIT));
  ASSERT_EQ(f.numFilterConditions, 4u);
  const FWP_CONDITION_VALUE0& app = f.filterCondition[0].conditionValue;
  ASSERT_EQ(app.type, FWP_BYTE_BLOB_TYPE);
  ASSERT_EQ(app.byteBlob->size, r.app.size);
  EXPECT_EQ(std::memcmp(app.byteBlob->data, r.app_bytes.data(), r.app.size), 0);
  EXPECT_EQ(f.filterCondition[2].conditionValue.type, FWP_BYTE_ARRAY16_TYPE);
  EXPECT_EQ(std::memcmp(f.filterCondition[2].conditionValue.byteArray16->byteArray16, r.v6.byteArray16, 16), 0);
  EXPECT_EQ(f.filterCondition[3].conditionValue.uint16, 443);
  EXPECT_EQ(f.effectiveWeight.type, FWP_UINT64);
  ASSERT_NE(f.effectiveWeight.uint64, nullptr);
  EXPECT_EQ(*f.effectiveWeight.uint64 >> 60, 10u);
  FwpmFreeMemory0(reinterpret_cast<void**>(&entries));
  EXPECT_EQ(entries, nullptr);
  EXPECT_EQ(FwpmFilterDestroyEnumHandle0(e.get(), h), 0u);
}

TEST_F(Persistence, TheToolDeletesOneLayerAndResetsTheEngine) {
  UINT64 last = 0;
  {
    Engine e;
    ASSERT_NO_FATAL_FAILURE(add_test_provider_and_sublayer(e.get()));
    for (int layer = 0; layer < 4; ++layer) {
      ASSERT_EQ(add_block(e.get(), layer), 0u);
      ASSERT_EQ(add_block(e.get(), layer, &last), 0u);
    }
  }
  ProcessResult r = run_tool({L"delete-layer", L"2"});
  ASSERT_EQ(r.exit_code, 0u) << r.err;
  EXPECT_EQ(json::parse(r.out, nullptr, false), (json{{"deleted", 2}}));
  {
    Engine e;
    EXPECT_EQ(list_filters(e.get(), &kTestProvider, kLayers[2]).ids.size(), 0u);
    EXPECT_EQ(list_filters(e.get(), &kTestProvider, kLayers[3]).ids.size(), 2u);
  }

  ASSERT_EQ(run_tool({L"reset"}).exit_code, 0u);
  json d = dump();
  EXPECT_EQ(d["providers"], json::array());
  EXPECT_EQ(d["sublayers"], json::array());
  EXPECT_EQ(d["filters"], json::array());
  EXPECT_GT(d["next_filter_id"].get<std::uint64_t>(), last) << "ids are not handed out twice";

  EXPECT_EQ(run_tool({L"delete-layer", L"4"}).exit_code, 2u);
  EXPECT_EQ(run_tool({L"bogus"}).exit_code, 2u);
}

// Run only as a child of the next test: adds 40 filters, one implicit transaction each.
TEST(PersistenceChild, DISABLED_AddsFilters) {
  if (GetEnvironmentVariableW(L"VELK_FWP_STANDIN_CHILD", nullptr, 0) == 0) GTEST_SKIP();
  Engine e;
  ASSERT_EQ(e.open_result(), 0u);
  for (int i = 0; i < 40; ++i) ASSERT_EQ(add_block(e.get(), i % 4), 0u);
}

TEST_F(Persistence, ProcessesWritingAtOnceLoseNothing) {
  {
    Engine e;
    ASSERT_NO_FATAL_FAILURE(add_test_provider_and_sublayer(e.get()));
  }
  wchar_t self[MAX_PATH * 2];
  const std::wstring exe(self, GetModuleFileNameW(nullptr, self, MAX_PATH * 2));
  const std::vector<std::wstring> args = {L"--gtest_also_run_disabled_tests",
                                          L"--gtest_filter=PersistenceChild.DISABLED_AddsFilters"};
  SetEnvironmentVariableW(L"VELK_FWP_STANDIN_CHILD", L"1");
  ProcessResult a, b;
  std::thread ta([&] { a = run_program(exe, args); });
  std::thread tb([&] { b = run_program(exe, args); });
  ta.join();
  tb.join();
  SetEnvironmentVariableW(L"VELK_FWP_STANDIN_CHILD", nullptr);
  ASSERT_EQ(a.exit_code, 0u) << a.out << a.err;
  ASSERT_EQ(b.exit_code, 0u) << b.out << b.err;

  const json d = dump();
  std::set<std::uint64_t> ids;
  for (const auto& f : d.at("filters")) ids.insert(f.at("id").get<std::uint64_t>());
  EXPECT_EQ(d.at("filters").size(), 80u);
  EXPECT_EQ(ids.size(), 80u);
}

TEST_F(Persistence, AnUnreadableStateFailsLoudly) {
  std::ofstream(dir_.path() / "objects.json") << "{ not json";
  Engine e;
  EXPECT_EQ(e.open_result(), static_cast<DWORD>(ERROR_FILE_CORRUPT));
  ProcessResult r = run_tool({L"dump"});
  EXPECT_EQ(r.exit_code, 1u);
  EXPECT_NE(r.err.find("objects.json is not JSON"), std::string::npos) << r.err;
  EXPECT_EQ(run_tool({L"reset"}).exit_code, 0u);
  EXPECT_EQ(Engine().open_result(), 0u);
}

}  // namespace
}  // namespace velk::test
