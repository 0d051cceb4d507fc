#include "standin_support.h"

#include <cstring>

namespace velk::test {

DWORD add_provider(HANDLE engine, const GUID& key, UINT32 flags) {
  FWPM_PROVIDER0 p;
  std::memset(&p, 0, sizeof p);
  p.providerKey = key;
  p.displayData.name = const_cast<wchar_t*>(L"test provider");
  p.flags = flags;
  return FwpmProviderAdd0(engine, &p, nullptr);
}

DWORD add_sublayer(HANDLE engine, const GUID& key, const GUID* provider, UINT32 flags, UINT16 weight) {
  FWPM_SUBLAYER0 s;
  std::memset(&s, 0, sizeof s);
  s.subLayerKey = key;
  s.displayData.name = const_cast<wchar_t*>(L"test sublayer");
  s.flags = static_cast<UINT16>(flags);
  s.providerKey = const_cast<GUID*>(provider);
  s.weight = weight;
  return FwpmSubLayerAdd0(engine, &s, nullptr);
}

void add_test_provider_and_sublayer(HANDLE engine) {
  ASSERT_EQ(add_provider(engine, kTestProvider), 0u);
  ASSERT_EQ(add_sublayer(engine, kTestSublayer, &kTestProvider), 0u);
}

FWPM_FILTER0 block_filter(int layer) {
  FWPM_FILTER0 f;
  std::memset(&f, 0, sizeof f);
  f.displayData.name = const_cast<wchar_t*>(L"test block");
  f.flags = FWPM_FILTER_FLAG_PERSISTENT;
  f.providerKey = const_cast<GUID*>(&kTestProvider);
  f.layerKey = fwp_standin::kLayers[layer];
  f.subLayerKey = kTestSublayer;
  f.weight.type = FWP_UINT8;
  f.weight.uint8 = 0;
  f.action.type = FWP_ACTION_BLOCK;
  return f;
}

DWORD add_block(HANDLE engine, int layer, UINT64* id) {
  FWPM_FILTER0 f = block_filter(layer);
  return FwpmFilterAdd0(engine, &f, nullptr, id);
}

Listing list_filters(HANDLE engine, const GUID* provider, const GUID& layer, UINT32 page) {
  Listing out;
  FWPM_FILTER_ENUM_TEMPLATE0 t;
  std::memset(&t, 0, sizeof t);
  t.providerKey = const_cast<GUID*>(provider);
  t.layerKey = layer;
  t.enumType = FWP_FILTER_ENUM_OVERLAPPING;
  t.actionMask = 0xFFFFFFFF;
  HANDLE h = nullptr;
  out.result = FwpmFilterCreateEnumHandle0(engine, &t, &h);
  if (out.result) return out;
  for (;;) {
    FWPM_FILTER0** entries = nullptr;
    UINT32 n = 0;
    out.result = FwpmFilterEnum0(engine, h, page, &entries, &n);
    if (out.result) break;
    for (UINT32 i = 0; i < n; ++i) out.ids.push_back(entries[i]->filterId);
    out.page_sizes.push_back(n);
    FwpmFreeMemory0(reinterpret_cast<void**>(&entries));
    if (n < page) break;
  }
  FwpmFilterDestroyEnumHandle0(engine, h);
  return out;
}

ProcessResult run_tool(const std::vector<std::wstring>& args) {
  return run_program(test_binary_dir() / L"fwp-standin.exe", args);
}

nlohmann::json dump() {
  ProcessResult r = run_tool({L"dump"});
  EXPECT_EQ(r.exit_code, 0u) << r.err;
  nlohmann::json doc = nlohmann::json::parse(r.out, nullptr, false);
  EXPECT_FALSE(doc.is_discarded()) << r.out;
  return doc.is_discarded() ? nlohmann::json::object() : doc;
}

}  // namespace velk::test
