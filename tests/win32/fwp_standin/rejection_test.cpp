// What the real engine refuses, the stand-in refuses with the same code and
// leaves nothing behind; what the helper legitimately sends, it accepts.

#include <cstring>
#include <functional>

#include "standin_support.h"

namespace velk::test {
namespace {

using nlohmann::json;
using namespace fwp_standin;

// FWPM_LAYER_OUTBOUND_IPPACKET_V6: a real layer, but not one of the four the stand-in keeps.
constexpr GUID kOutboundIpPacketV6 = {0xa3b3ab6b, 0x3564, 0x488c, {0x91, 0x17, 0xf3, 0x4e, 0x82, 0x14, 0x27, 0x63}};
constexpr GUID kMadeUpField = {0x01234567, 0x89ab, 0x4def, {0x80, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07}};

// One filter description with a single condition that a case then spoils.
struct Draft {
  FWPM_FILTER0 filter;
  FWPM_FILTER_CONDITION0 cond;
  UINT64 u64 = 0x0006001234000000ull;
  FWP_BYTE_ARRAY16 bytes16{{0x20, 0x01, 0x0d, 0xb8}};
  UINT8 blob_bytes[4] = {1, 2, 3, 4};
  FWP_BYTE_BLOB blob{4, blob_bytes};
  FWP_V4_ADDR_AND_MASK v4mask{0xC0000200, 0xFFFFFF00};

  Draft() {
    filter = block_filter(0);
    std::memset(&cond, 0, sizeof cond);
    cond.fieldKey = kConditionIpProtocol;
    cond.matchType = FWP_MATCH_EQUAL;
    cond.conditionValue.type = FWP_UINT8;
    cond.conditionValue.uint8 = 6;
    filter.numFilterConditions = 1;
    filter.filterCondition = &cond;
  }
  void value(FWP_DATA_TYPE t) {
    cond.conditionValue.type = t;
    switch (t) {
      case FWP_UINT64: cond.conditionValue.uint64 = &u64; break;
      case FWP_BYTE_ARRAY16_TYPE: cond.conditionValue.byteArray16 = &bytes16; break;
      case FWP_BYTE_BLOB_TYPE: cond.conditionValue.byteBlob = &blob; break;
      case FWP_V4_ADDR_MASK: cond.conditionValue.v4AddrMask = &v4mask; break;
      default: cond.conditionValue.uint32 = 17; break;
    }
  }
  void field(const GUID& key, FWP_DATA_TYPE t, FWP_MATCH_TYPE m = FWP_MATCH_EQUAL) {
    cond.fieldKey = key;
    cond.matchType = m;
    value(t);
  }
};

struct Case {
  const char* name;
  std::function<void(Draft&)> spoil;
  HRESULT expected;
};

const Case kRefused[] = {
    {"unknown layer", [](Draft& d) { d.filter.layerKey = kOutboundIpPacketV6; }, FWP_E_LAYER_NOT_FOUND},
    {"zero layer", [](Draft& d) { d.filter.layerKey = GUID{}; }, FWP_E_LAYER_NOT_FOUND},
    {"unknown field", [](Draft& d) { d.field(kMadeUpField, FWP_UINT8); }, FWP_E_CONDITION_NOT_FOUND},
    {"protocol as UINT16", [](Draft& d) { d.value(FWP_UINT16); }, FWP_E_TYPE_MISMATCH},
    {"protocol as UINT32", [](Draft& d) { d.value(FWP_UINT32); }, FWP_E_TYPE_MISMATCH},
    {"remote port as UINT32", [](Draft& d) { d.field(kConditionIpRemotePort, FWP_UINT32); }, FWP_E_TYPE_MISMATCH},
    {"local port as UINT8", [](Draft& d) { d.field(kConditionIpLocalPort, FWP_UINT8); }, FWP_E_TYPE_MISMATCH},
    {"flags as UINT16",
     [](Draft& d) { d.field(kConditionFlags, FWP_UINT16, FWP_MATCH_FLAGS_ALL_SET); }, FWP_E_TYPE_MISMATCH},
    {"flags matched for equality", [](Draft& d) { d.field(kConditionFlags, FWP_UINT32); }, FWP_E_MATCH_TYPE_MISMATCH},
    {"interface as UINT32", [](Draft& d) { d.field(kConditionIpLocalInterface, FWP_UINT32); }, FWP_E_TYPE_MISMATCH},
    {"app id as a byte array",
     [](Draft& d) { d.field(kConditionAleAppId, FWP_BYTE_ARRAY16_TYPE); }, FWP_E_TYPE_MISMATCH},
    {"IPv6 address on an IPv4 layer",
     [](Draft& d) { d.field(kConditionIpRemoteAddress, FWP_BYTE_ARRAY16_TYPE); }, FWP_E_TYPE_MISMATCH},
    {"IPv4 address on an IPv6 layer",
     [](Draft& d) {
       d.filter.layerKey = kLayerAleAuthConnectV6;
       d.field(kConditionIpRemoteAddress, FWP_UINT32);
     },
     FWP_E_TYPE_MISMATCH},
    {"IPv4 mask on an IPv6 layer",
     [](Draft& d) {
       d.filter.layerKey = kLayerAleAuthRecvAcceptV6;
       d.field(kConditionIpRemoteAddress, FWP_V4_ADDR_MASK);
     },
     FWP_E_TYPE_MISMATCH},
    {"IPv4 mask with holes",
     [](Draft& d) {
       d.field(kConditionIpRemoteAddress, FWP_V4_ADDR_MASK);
       d.v4mask.mask = 0xFF00FF00;
     },
     FWP_E_INVALID_NET_MASK},
    {"flags match on a byte blob",
     [](Draft& d) { d.field(kConditionAleAppId, FWP_BYTE_BLOB_TYPE, FWP_MATCH_FLAGS_ANY_SET); },
     FWP_E_MATCH_TYPE_MISMATCH},
    {"match type out of range", [](Draft& d) { d.cond.matchType = static_cast<FWP_MATCH_TYPE>(40); },
     FWP_E_INVALID_ENUMERATOR},
    {"value type out of range", [](Draft& d) { d.cond.conditionValue.type = static_cast<FWP_DATA_TYPE>(0x50); },
     FWP_E_INVALID_ENUMERATOR},
    {"UINT64 without its pointer",
     [](Draft& d) {
       d.field(kConditionIpLocalInterface, FWP_UINT64);
       d.cond.conditionValue.uint64 = nullptr;
     },
     FWP_E_NULL_POINTER},
    {"empty app id",
     [](Draft& d) {
       d.field(kConditionAleAppId, FWP_BYTE_BLOB_TYPE);
       d.blob.size = 0;
     },
     FWP_E_ZERO_LENGTH_ARRAY},
    {"conditions counted but missing", [](Draft& d) { d.filter.filterCondition = nullptr; }, FWP_E_NULL_POINTER},
    {"weight as UINT32",
     [](Draft& d) {
       d.filter.weight.type = FWP_UINT32;
       d.filter.weight.uint32 = 10;
     },
     FWP_E_INVALID_WEIGHT},
    {"weight range above 15", [](Draft& d) { d.filter.weight.uint8 = 16; }, FWP_E_INVALID_WEIGHT},
    {"missing sublayer", [](Draft& d) { d.filter.subLayerKey = kMadeUpField; }, FWP_E_SUBLAYER_NOT_FOUND},
    {"missing provider", [](Draft& d) { d.filter.providerKey = const_cast<GUID*>(&kOtherProvider); },
     FWP_E_PROVIDER_NOT_FOUND},
    {"persistent and boot-time",
     [](Draft& d) { d.filter.flags = FWPM_FILTER_FLAG_PERSISTENT | FWPM_FILTER_FLAG_BOOTTIME; }, FWP_E_INVALID_FLAGS},
    {"unknown flag", [](Draft& d) { d.filter.flags |= 0x1000; }, FWP_E_INVALID_FLAGS},
    {"no display name", [](Draft& d) { d.filter.displayData.name = nullptr; }, FWP_E_NULL_DISPLAY_NAME},
    {"no action", [](Draft& d) { d.filter.action.type = 0; }, FWP_E_INVALID_ACTION_TYPE},
    {"callout action", [](Draft& d) { d.filter.action.type = FWP_ACTION_CALLOUT_TERMINATING; },
     FWP_E_CALLOUT_NOT_FOUND},
};

class Rejections : public StandinTest {};

TEST_F(Rejections, FiltersTheRealEngineRefuses) {
  Engine e;
  ASSERT_NO_FATAL_FAILURE(add_test_provider_and_sublayer(e.get()));
  for (const Case& c : kRefused) {
    Draft d;
    c.spoil(d);
    UINT64 id = 12345;
    EXPECT_EQ(FwpmFilterAdd0(e.get(), &d.filter, nullptr, &id), hr(c.expected)) << c.name;
    EXPECT_EQ(id, 12345u) << c.name;
  }
  EXPECT_EQ(dump()["filters"], json::array());
}

TEST_F(Rejections, TheConditionsOfEveryRuleKindAreAccepted) {
  Engine e;
  ASSERT_NO_FATAL_FAILURE(add_test_provider_and_sublayer(e.get()));
  const std::function<void(Draft&)> valid[] = {
      [](Draft& d) { d.field(kConditionFlags, FWP_UINT32, FWP_MATCH_FLAGS_ALL_SET); },
      [](Draft& d) { d.field(kConditionIpLocalInterface, FWP_UINT64); },
      [](Draft& d) { d.field(kConditionAleAppId, FWP_BYTE_BLOB_TYPE); },
      [](Draft& d) { d.field(kConditionIpRemoteAddress, FWP_UINT32); },
      [](Draft& d) { d.field(kConditionIpRemoteAddress, FWP_V4_ADDR_MASK); },
      [](Draft& d) {
        d.filter.layerKey = kLayerAleAuthRecvAcceptV6;
        d.field(kConditionIpRemoteAddress, FWP_BYTE_ARRAY16_TYPE);
      },
      [](Draft& d) { d.field(kConditionIpRemotePort, FWP_UINT16); },
      [](Draft& d) {
        d.filter.layerKey = kLayerAleAuthConnectV6;
        d.field(kConditionIpLocalPort, FWP_UINT16);
      },
      [](Draft& d) { d.filter.weight.type = FWP_EMPTY; },
      [](Draft& d) {
        d.filter.weight.type = FWP_UINT64;
        d.filter.weight.uint64 = &d.u64;
      },
      [](Draft& d) { d.filter.flags = FWPM_FILTER_FLAG_PERSISTENT | FWPM_FILTER_FLAG_CLEAR_ACTION_RIGHT; },
      [](Draft& d) { d.filter.action.type = FWP_ACTION_PERMIT; },
  };
  for (std::size_t i = 0; i < std::size(valid); ++i) {
    Draft d;
    valid[i](d);
    EXPECT_EQ(FwpmFilterAdd0(e.get(), &d.filter, nullptr, nullptr), 0u) << "case " << i;
  }
  EXPECT_EQ(dump()["filters"].size(), std::size(valid));
}

TEST_F(Rejections, ProvidersAndSublayers) {
  Engine e;
  EXPECT_EQ(add_sublayer(e.get(), kTestSublayer, &kTestProvider), hr(FWP_E_PROVIDER_NOT_FOUND));
  ASSERT_EQ(add_provider(e.get(), kTestProvider), 0u);
  EXPECT_EQ(add_provider(e.get(), kTestProvider), hr(FWP_E_ALREADY_EXISTS));
  EXPECT_EQ(add_provider(e.get(), kOtherProvider, 0x100), hr(FWP_E_INVALID_FLAGS));
  ASSERT_EQ(add_sublayer(e.get(), kTestSublayer, &kTestProvider), 0u);
  EXPECT_EQ(add_sublayer(e.get(), kTestSublayer, &kTestProvider), hr(FWP_E_ALREADY_EXISTS));

  // A persistent object cannot hang off one that goes away with the engine.
  ASSERT_EQ(add_provider(e.get(), kOtherProvider, 0), 0u);
  GUID sub2 = kTestSublayer;
  sub2.Data1 += 100;
  EXPECT_EQ(add_sublayer(e.get(), sub2, &kOtherProvider), hr(FWP_E_LIFETIME_MISMATCH));
  FWPM_FILTER0 f = block_filter(0);
  f.providerKey = const_cast<GUID*>(&kOtherProvider);
  EXPECT_EQ(FwpmFilterAdd0(e.get(), &f, nullptr, nullptr), hr(FWP_E_LIFETIME_MISMATCH));

  // Windows reads the sublayer flags as 32 bits; mingw-w64 declares 16, so
  // garbage in the two bytes after them must not pass.
  FWPM_SUBLAYER0 s;
  std::memset(&s, 0, sizeof s);
  s.subLayerKey = sub2;
  s.displayData.name = const_cast<wchar_t*>(L"padded");
  reinterpret_cast<unsigned char*>(&s)[offsetof(FWPM_SUBLAYER0, flags) + 2] = 0xCC;
  EXPECT_EQ(FwpmSubLayerAdd0(e.get(), &s, nullptr), hr(FWP_E_INVALID_FLAGS));
  s.displayData.name = nullptr;
  reinterpret_cast<unsigned char*>(&s)[offsetof(FWPM_SUBLAYER0, flags) + 2] = 0;
  EXPECT_EQ(FwpmSubLayerAdd0(e.get(), &s, nullptr), hr(FWP_E_NULL_DISPLAY_NAME));

  json d = dump();
  EXPECT_EQ(d["providers"].size(), 2u);
  EXPECT_EQ(d["sublayers"].size(), 1u);
}

TEST_F(Rejections, DeletingWhatIsInUseOrUnknown) {
  Engine e;
  ASSERT_NO_FATAL_FAILURE(add_test_provider_and_sublayer(e.get()));
  UINT64 id = 0;
  ASSERT_EQ(add_block(e.get(), 3, &id), 0u);

  EXPECT_EQ(FwpmProviderDeleteByKey0(e.get(), &kTestProvider), hr(FWP_E_IN_USE));
  EXPECT_EQ(FwpmSubLayerDeleteByKey0(e.get(), &kTestSublayer), hr(FWP_E_IN_USE));
  EXPECT_EQ(FwpmFilterDeleteById0(e.get(), id + 1), hr(FWP_E_FILTER_NOT_FOUND));
  EXPECT_EQ(FwpmFilterDeleteById0(e.get(), id & 0xFFFFFFFF), hr(FWP_E_FILTER_NOT_FOUND)) << "a truncated id";
  EXPECT_EQ(FwpmProviderDeleteByKey0(e.get(), &kOtherProvider), hr(FWP_E_PROVIDER_NOT_FOUND));
  EXPECT_EQ(FwpmSubLayerDeleteByKey0(e.get(), &kOtherProvider), hr(FWP_E_SUBLAYER_NOT_FOUND));

  ASSERT_EQ(FwpmFilterDeleteById0(e.get(), id), 0u);
  EXPECT_EQ(FwpmFilterDeleteById0(e.get(), id), hr(FWP_E_FILTER_NOT_FOUND));
  EXPECT_EQ(FwpmProviderDeleteByKey0(e.get(), &kTestProvider), hr(FWP_E_IN_USE)) << "the sublayer still refers to it";
  EXPECT_EQ(FwpmSubLayerDeleteByKey0(e.get(), &kTestSublayer), 0u);
  EXPECT_EQ(FwpmProviderDeleteByKey0(e.get(), &kTestProvider), 0u);
  json d = dump();
  EXPECT_EQ(d["providers"], json::array());
  EXPECT_EQ(d["sublayers"], json::array());
}

TEST_F(Rejections, BadHandlesAndSessions) {
  EXPECT_EQ(FwpmFilterDeleteById0(reinterpret_cast<HANDLE>(0x1234), 1), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  HANDLE h = nullptr;
  EXPECT_EQ(FwpmEngineOpen0(nullptr, 9, nullptr, nullptr, &h), static_cast<DWORD>(RPC_S_UNKNOWN_AUTHN_SERVICE));
  FWPM_SESSION0 dynamic;
  std::memset(&dynamic, 0, sizeof dynamic);
  dynamic.flags = FWPM_SESSION_FLAG_DYNAMIC;
  EXPECT_EQ(Engine(&dynamic).open_result(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));

  Engine a, b;
  FWPM_FILTER_ENUM_TEMPLATE0 t;
  std::memset(&t, 0, sizeof t);
  t.layerKey = kOutboundIpPacketV6;
  t.actionMask = 0xFFFFFFFF;
  HANDLE enum_handle = nullptr;
  EXPECT_EQ(FwpmFilterCreateEnumHandle0(a.get(), &t, &enum_handle), hr(FWP_E_LAYER_NOT_FOUND));
  t.layerKey = kLayerAleAuthConnectV4;
  ASSERT_EQ(FwpmFilterCreateEnumHandle0(a.get(), &t, &enum_handle), 0u);
  FWPM_FILTER0** entries = nullptr;
  UINT32 n = 0;
  EXPECT_EQ(FwpmFilterEnum0(b.get(), enum_handle, 10, &entries, &n), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_EQ(FwpmFilterDestroyEnumHandle0(a.get(), enum_handle), 0u);
  EXPECT_EQ(FwpmFilterDestroyEnumHandle0(a.get(), enum_handle), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

}  // namespace
}  // namespace velk::test
