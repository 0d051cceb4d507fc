#pragma once
// The Windows Filtering Platform keys, flags, enumeration values and status
// codes the kill switch uses, under this project's own names. mingw-w64 lacks
// the layer and condition keys and the object flags, so every value is written
// out here (from the SDK bytes); the Windows build checks the ones mingw does
// define against its headers. Platform-neutral, so the rule translation and
// the test engine can use them natively.

#include <array>
#include <compare>
#include <cstdint>
#include <string>

namespace velk::wfp {

// A GUID with the layout of the Windows one.
struct Guid {
  std::uint32_t data1 = 0;
  std::uint16_t data2 = 0;
  std::uint16_t data3 = 0;
  std::array<std::uint8_t, 8> data4{};

  auto operator<=>(const Guid&) const = default;
  bool operator==(const Guid&) const = default;
};

// "xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx", lower case.
std::string to_string(const Guid& g);

// Layers (FWPM_LAYER_ALE_AUTH_CONNECT_V4 / _V6, FWPM_LAYER_ALE_AUTH_RECV_ACCEPT_V4 / _V6).
inline constexpr Guid kLayerAleAuthConnectV4{0xc38d57d1, 0x05a7, 0x4c33, {0x90, 0x4f, 0x7f, 0xbc, 0xee, 0xe6, 0x0e, 0x82}};
inline constexpr Guid kLayerAleAuthConnectV6{0x4a72393b, 0x319f, 0x44bc, {0x84, 0xc3, 0xba, 0x54, 0xdc, 0xb3, 0xb6, 0xb4}};
inline constexpr Guid kLayerAleAuthRecvAcceptV4{0xe1cd9fe7, 0xf4b5, 0x4273, {0x96, 0xc0, 0x59, 0x2e, 0x48, 0x7b, 0x86, 0x50}};
inline constexpr Guid kLayerAleAuthRecvAcceptV6{0xa3b42c97, 0x9f04, 0x4672, {0xb8, 0x7e, 0xce, 0xe9, 0xc4, 0x83, 0x25, 0x7f}};

// Condition fields (FWPM_CONDITION_*).
inline constexpr Guid kConditionFlags{0x632ce23b, 0x5167, 0x435c, {0x86, 0xd7, 0xe9, 0x03, 0x68, 0x4a, 0xa8, 0x0c}};
inline constexpr Guid kConditionIpLocalInterface{0x4cd62a49, 0x59c3, 0x4969, {0xb7, 0xf3, 0xbd, 0xa5, 0xd3, 0x28, 0x90, 0xa4}};
inline constexpr Guid kConditionAleAppId{0xd78e1e87, 0x8644, 0x4ea5, {0x94, 0x37, 0xd8, 0x09, 0xec, 0xef, 0xc9, 0x71}};
inline constexpr Guid kConditionIpProtocol{0x3971ef2b, 0x623e, 0x4f9a, {0x8c, 0xb1, 0x6e, 0x79, 0xb8, 0x06, 0xb9, 0xa7}};
inline constexpr Guid kConditionIpRemoteAddress{0xb235ae9a, 0x1d64, 0x49b8, {0xa4, 0x4c, 0x5f, 0xf3, 0xd9, 0x09, 0x50, 0x45}};
inline constexpr Guid kConditionIpRemotePort{0xc35a604d, 0xd22b, 0x4e1a, {0x91, 0xb4, 0x68, 0xf6, 0x74, 0xee, 0x67, 0x4b}};
inline constexpr Guid kConditionIpLocalPort{0x0c1ba1af, 0x5765, 0x453f, {0xaf, 0x22, 0xa8, 0xf7, 0x91, 0xac, 0x77, 0x5b}};

// The helper's own provider and sublayer.
inline constexpr Guid kProviderKey{0x76656C6B, 0x766E, 0x4B53, {0x80, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01}};
inline constexpr Guid kSublayerKey{0x76656C6B, 0x766E, 0x4B53, {0x80, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x02}};

// Object flags.
inline constexpr std::uint32_t kProviderFlagPersistent = 0x00000001;
inline constexpr std::uint32_t kSublayerFlagPersistent = 0x00000001;
inline constexpr std::uint32_t kFilterFlagPersistent = 0x00000001;
inline constexpr std::uint32_t kFilterFlagBoottime = 0x00000002;
inline constexpr std::uint32_t kFilterFlagClearActionRight = 0x00000008;

// FWP_CONDITION_FLAG_IS_LOOPBACK.
inline constexpr std::uint32_t kConditionFlagIsLoopback = 0x00000001;

// FWP_ACTION_BLOCK / FWP_ACTION_PERMIT.
inline constexpr std::uint32_t kActionBlock = 0x00001001;
inline constexpr std::uint32_t kActionPermit = 0x00001002;

// FWP_MATCH_TYPE values.
enum class MatchType : std::uint32_t { equal = 0, flags_all_set = 6 };

// FWP_DATA_TYPE values.
enum class DataType : std::uint32_t {
  empty = 0,
  uint8 = 1,
  uint16 = 2,
  uint32 = 3,
  uint64 = 4,
  byte_array16 = 11,
  byte_blob = 12,
};

// FWP_FILTER_ENUM_OVERLAPPING.
inline constexpr std::uint32_t kFilterEnumOverlapping = 1;

// The highest sublayer weight.
inline constexpr std::uint16_t kSublayerWeightHighest = 0xFFFF;

// Status codes of the Fwpm* functions (DWORD). 0 is success.
using Status = std::uint32_t;
inline constexpr Status kOk = 0;
inline constexpr Status kErrorAccessDenied = 5;
inline constexpr Status kErrFilterNotFound = 0x80320003;
inline constexpr Status kErrLayerNotFound = 0x80320004;
inline constexpr Status kErrProviderNotFound = 0x80320005;
inline constexpr Status kErrSublayerNotFound = 0x80320007;
inline constexpr Status kErrNotFound = 0x80320008;
inline constexpr Status kErrAlreadyExists = 0x80320009;
inline constexpr Status kErrInUse = 0x8032000A;
inline constexpr Status kErrWrongSession = 0x8032000C;
inline constexpr Status kErrNoTxnInProgress = 0x8032000D;
inline constexpr Status kErrTxnInProgress = 0x8032000E;
inline constexpr Status kErrTimeout = 0x80320012;
inline constexpr Status kErrIncompatibleLayer = 0x80320014;
inline constexpr Status kErrInvalidFlags = 0x8032001E;
inline constexpr Status kErrInvalidActionType = 0x80320024;
inline constexpr Status kErrInvalidWeight = 0x80320025;
inline constexpr Status kErrMatchTypeMismatch = 0x80320026;
inline constexpr Status kErrTypeMismatch = 0x80320027;

}  // namespace velk::wfp
