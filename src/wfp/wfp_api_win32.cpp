// The filtering-engine calls, copied field by field from the plain
// descriptions of filter_spec.h. Nothing is decided here.

#include "wfp/wfp_api_win32.h"

// clang-format off
#include <winsock2.h>
#include <windows.h>
#include <fwpmu.h>
#include <iphlpapi.h>
// clang-format on

#include <cstddef>
#include <cstring>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "platform/text.h"
#include "wfp/wfp_filter_ops.h"

// The layouts the engine reads (x86_64, as the SDK declares them).
static_assert(sizeof(FWPM_FILTER0) == 200 && offsetof(FWPM_FILTER0, displayData) == 16 &&
              offsetof(FWPM_FILTER0, flags) == 32 && offsetof(FWPM_FILTER0, providerKey) == 40 &&
              offsetof(FWPM_FILTER0, layerKey) == 64 && offsetof(FWPM_FILTER0, subLayerKey) == 80 &&
              offsetof(FWPM_FILTER0, weight) == 96 && offsetof(FWPM_FILTER0, numFilterConditions) == 112 &&
              offsetof(FWPM_FILTER0, filterCondition) == 120 && offsetof(FWPM_FILTER0, action) == 128 &&
              offsetof(FWPM_FILTER0, filterId) == 176 && offsetof(FWPM_FILTER0, effectiveWeight) == 184);
static_assert(sizeof(FWPM_FILTER_CONDITION0) == 40 && offsetof(FWPM_FILTER_CONDITION0, matchType) == 16 &&
              offsetof(FWPM_FILTER_CONDITION0, conditionValue) == 24);
static_assert(sizeof(FWP_CONDITION_VALUE0) == 16 && sizeof(FWP_VALUE0) == 16 && sizeof(FWPM_ACTION0) == 20);
static_assert(sizeof(FWPM_SUBLAYER0) == 72 && offsetof(FWPM_SUBLAYER0, flags) == 32 &&
              offsetof(FWPM_SUBLAYER0, providerKey) == 40 && offsetof(FWPM_SUBLAYER0, weight) == 64);
static_assert(sizeof(FWPM_PROVIDER0) == 64 && offsetof(FWPM_PROVIDER0, flags) == 32 &&
              offsetof(FWPM_PROVIDER0, serviceName) == 56);
static_assert(sizeof(FWPM_FILTER_ENUM_TEMPLATE0) == 72 && offsetof(FWPM_FILTER_ENUM_TEMPLATE0, enumType) == 24 &&
              offsetof(FWPM_FILTER_ENUM_TEMPLATE0, actionMask) == 56);
static_assert(sizeof(FWP_DATA_TYPE) == 4 && sizeof(GUID) == sizeof(velk::wfp::Guid));

// The project's values against the ones mingw does define.
static_assert(FWP_ACTION_BLOCK == velk::wfp::kActionBlock && FWP_ACTION_PERMIT == velk::wfp::kActionPermit);
static_assert(FWP_CONDITION_FLAG_IS_LOOPBACK == velk::wfp::kConditionFlagIsLoopback);
static_assert(FWP_MATCH_EQUAL == static_cast<int>(velk::wfp::MatchType::equal) &&
              FWP_MATCH_FLAGS_ALL_SET == static_cast<int>(velk::wfp::MatchType::flags_all_set));
static_assert(FWP_UINT8 == static_cast<int>(velk::wfp::DataType::uint8) &&
              FWP_UINT16 == static_cast<int>(velk::wfp::DataType::uint16) &&
              FWP_UINT32 == static_cast<int>(velk::wfp::DataType::uint32) &&
              FWP_UINT64 == static_cast<int>(velk::wfp::DataType::uint64) &&
              FWP_BYTE_ARRAY16_TYPE == static_cast<int>(velk::wfp::DataType::byte_array16) &&
              FWP_BYTE_BLOB_TYPE == static_cast<int>(velk::wfp::DataType::byte_blob));
static_assert(FWP_FILTER_ENUM_OVERLAPPING == velk::wfp::kFilterEnumOverlapping);
static_assert(static_cast<DWORD>(FWP_E_ALREADY_EXISTS) == velk::wfp::kErrAlreadyExists &&
              static_cast<DWORD>(FWP_E_IN_USE) == velk::wfp::kErrInUse &&
              static_cast<DWORD>(FWP_E_NO_TXN_IN_PROGRESS) == velk::wfp::kErrNoTxnInProgress &&
              static_cast<DWORD>(FWP_E_LAYER_NOT_FOUND) == velk::wfp::kErrLayerNotFound);
static_assert(RPC_C_AUTHN_WINNT == 10);

namespace velk {
namespace {

GUID to_guid(const wfp::Guid& g) {
  GUID out;
  out.Data1 = g.data1;
  out.Data2 = g.data2;
  out.Data3 = g.data3;
  std::memcpy(out.Data4, g.data4.data(), sizeof out.Data4);
  return out;
}

wfp::Guid from_guid(const GUID& g) {
  wfp::Guid out;
  out.data1 = g.Data1;
  out.data2 = g.Data2;
  out.data3 = g.Data3;
  std::memcpy(out.data4.data(), g.Data4, sizeof g.Data4);
  return out;
}

// A NUL-terminated UTF-16 string.
std::wstring wide(std::string_view utf8) {
  const std::u16string u16 = utf16_from_utf8(utf8);
  return std::wstring(u16.begin(), u16.end());
}

// Memory the engine allocated, freed with FwpmFreeMemory0.
template <class T>
class FwpmMemory {
 public:
  FwpmMemory() = default;
  ~FwpmMemory() {
    if (p_ != nullptr) FwpmFreeMemory0(reinterpret_cast<void**>(&p_));
  }
  FwpmMemory(const FwpmMemory&) = delete;
  FwpmMemory& operator=(const FwpmMemory&) = delete;
  T** put() { return &p_; }
  T* get() const { return p_; }

 private:
  T* p_ = nullptr;
};

// An engine session handle, closed with FwpmEngineClose0 (which also aborts
// a transaction left open).
class EngineHandle {
 public:
  explicit EngineHandle(HANDLE h) : h_(h) {}
  ~EngineHandle() {
    if (h_ != nullptr) FwpmEngineClose0(h_);
  }
  EngineHandle(const EngineHandle&) = delete;
  EngineHandle& operator=(const EngineHandle&) = delete;
  HANDLE get() const { return h_; }

 private:
  HANDLE h_;
};

// One condition as a FilterCondition; false for a field or value type a
// FilterSpec cannot carry.
bool read_condition(const FWPM_FILTER_CONDITION0& in, FilterCondition& out) {
  const wfp::Guid field = from_guid(in.fieldKey);
  bool known = false;
  for (ConditionField f : {ConditionField::flags, ConditionField::ip_local_interface, ConditionField::ale_app_id,
                           ConditionField::ip_protocol, ConditionField::ip_remote_address,
                           ConditionField::ip_remote_port, ConditionField::ip_local_port}) {
    if (field_key(f) == field) {
      out.field = f;
      known = true;
    }
  }
  out.match = static_cast<wfp::MatchType>(in.matchType);
  const FWP_CONDITION_VALUE0& v = in.conditionValue;
  switch (v.type) {
    case FWP_UINT8: out.value = v.uint8; break;
    case FWP_UINT16: out.value = v.uint16; break;
    case FWP_UINT32: out.value = v.uint32; break;
    case FWP_UINT64:
      if (v.uint64 == nullptr) return false;
      out.value = *v.uint64;
      break;
    case FWP_BYTE_ARRAY16_TYPE: {
      if (v.byteArray16 == nullptr) return false;
      ByteArray16 bytes{};
      std::memcpy(bytes.data(), v.byteArray16->byteArray16, bytes.size());
      out.value = bytes;
      break;
    }
    case FWP_BYTE_BLOB_TYPE:
      if (v.byteBlob == nullptr || (v.byteBlob->size > 0 && v.byteBlob->data == nullptr)) return false;
      out.value = ByteBlob(v.byteBlob->data, v.byteBlob->data + v.byteBlob->size);
      break;
    default: return false;
  }
  return known;
}

// A listed filter copied out of the engine's memory, field by field.
ListedFilter read_filter(const FWPM_FILTER0& in) {
  ListedFilter out;
  out.id = in.filterId;
  if (in.displayData.name != nullptr) {
    out.spec.display_name = utf8_from_utf16(reinterpret_cast<const char16_t*>(in.displayData.name));
  }
  out.spec.flags = in.flags;
  if (in.providerKey != nullptr) {
    out.spec.provider_key = from_guid(*in.providerKey);
  } else {
    out.understood = false;
  }
  bool layer_known = false;
  for (std::uint8_t layer = 0; layer < kLayerCount; ++layer) {
    if (*layer_key(layer) == from_guid(in.layerKey)) {
      out.spec.layer = layer;
      layer_known = true;
    }
  }
  out.spec.sublayer_key = from_guid(in.subLayerKey);
  if (in.weight.type == FWP_UINT8) {
    out.spec.weight = in.weight.uint8;
  } else {
    out.understood = false;
  }
  out.spec.action = in.action.type;
  out.understood = out.understood && layer_known;
  if (in.numFilterConditions > 0 && in.filterCondition == nullptr) {
    out.understood = false;
    return out;
  }
  for (UINT32 i = 0; i < in.numFilterConditions; ++i) {
    FilterCondition c;
    if (!read_condition(in.filterCondition[i], c)) out.understood = false;
    out.spec.conditions.push_back(std::move(c));
  }
  return out;
}

// An enumeration handle; it must not outlive its session (the operations keep
// it inside the session's scope).
class Win32FilterEnum final : public WfpFilterEnum {
 public:
  Win32FilterEnum(HANDLE engine, HANDLE handle) : engine_(engine), handle_(handle) {}
  ~Win32FilterEnum() override { FwpmFilterDestroyEnumHandle0(engine_, handle_); }

  wfp::Status next_page(std::uint32_t max, std::vector<std::uint64_t>& ids, std::uint32_t& returned) override {
    return next(max, returned, [&](const FWPM_FILTER0& f) { ids.push_back(f.filterId); });
  }

  wfp::Status next_filters(std::uint32_t max, std::vector<ListedFilter>& filters, std::uint32_t& returned) override {
    return next(max, returned, [&](const FWPM_FILTER0& f) { filters.push_back(read_filter(f)); });
  }

 private:
  // One page of at most `max` filters, each handed to `take`.
  template <typename Take>
  wfp::Status next(std::uint32_t max, std::uint32_t& returned, Take take) {
    returned = 0;
    FwpmMemory<FWPM_FILTER0*> entries;
    UINT32 count = 0;
    const DWORD rc = FwpmFilterEnum0(engine_, handle_, max, entries.put(), &count);
    if (rc != ERROR_SUCCESS) return rc;
    if (count > 0 && entries.get() == nullptr) return static_cast<DWORD>(FWP_E_NULL_POINTER);
    for (UINT32 i = 0; i < count; ++i) {
      if (entries.get()[i] == nullptr) return static_cast<DWORD>(FWP_E_NULL_POINTER);
      take(*entries.get()[i]);
    }
    returned = count;
    return ERROR_SUCCESS;
  }

  HANDLE engine_;
  HANDLE handle_;
};

// Condition values the engine takes by pointer, alive until FwpmFilterAdd0 returns.
struct ConditionStorage {
  explicit ConditionStorage(std::size_t n) : conditions(n), uint64s(n), arrays(n), blobs(n) {}
  std::vector<FWPM_FILTER_CONDITION0> conditions;
  std::vector<UINT64> uint64s;
  std::vector<FWP_BYTE_ARRAY16> arrays;
  std::vector<FWP_BYTE_BLOB> blobs;
};

void fill_condition(const FilterCondition& in, std::size_t i, ConditionStorage& store) {
  FWPM_FILTER_CONDITION0& c = store.conditions[i];
  c.fieldKey = to_guid(field_key(in.field));
  c.matchType = static_cast<FWP_MATCH_TYPE>(in.match);
  c.conditionValue.type = static_cast<FWP_DATA_TYPE>(data_type(in.value));
  std::visit(
      [&](const auto& v) {
        using T = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<T, std::uint8_t>) {
          c.conditionValue.uint8 = v;
        } else if constexpr (std::is_same_v<T, std::uint16_t>) {
          c.conditionValue.uint16 = v;
        } else if constexpr (std::is_same_v<T, std::uint32_t>) {
          c.conditionValue.uint32 = v;
        } else if constexpr (std::is_same_v<T, std::uint64_t>) {
          store.uint64s[i] = v;
          c.conditionValue.uint64 = &store.uint64s[i];
        } else if constexpr (std::is_same_v<T, ByteArray16>) {
          std::memcpy(store.arrays[i].byteArray16, v.data(), v.size());
          c.conditionValue.byteArray16 = &store.arrays[i];
        } else {
          static_assert(std::is_same_v<T, ByteBlob>);
          store.blobs[i].size = static_cast<UINT32>(v.size());
          store.blobs[i].data = const_cast<UINT8*>(v.data());  // the engine only reads it
          c.conditionValue.byteBlob = &store.blobs[i];
        }
      },
      in.value);
}

class Win32Session final : public WfpSession {
 public:
  explicit Win32Session(HANDLE engine) : engine_(engine) {}

  wfp::Status add_provider(const ProviderSpec& spec) override {
    std::wstring name = wide(spec.display_name);
    FWPM_PROVIDER0 p;
    std::memset(&p, 0, sizeof p);
    p.providerKey = to_guid(spec.key);
    p.displayData.name = name.data();
    p.flags = spec.flags;
    return FwpmProviderAdd0(engine_.get(), &p, nullptr);
  }

  wfp::Status add_sublayer(const SublayerSpec& spec) override {
    std::wstring name = wide(spec.display_name);
    GUID provider = to_guid(spec.provider_key);
    // Zeroed as a whole: mingw declares flags as 16 bits, the engine reads 32,
    // so the padding after it must be zero.
    FWPM_SUBLAYER0 s;
    std::memset(&s, 0, sizeof s);
    s.subLayerKey = to_guid(spec.key);
    s.displayData.name = name.data();
    s.flags = static_cast<decltype(s.flags)>(spec.flags);
    s.providerKey = &provider;
    s.weight = spec.weight;
    return FwpmSubLayerAdd0(engine_.get(), &s, nullptr);
  }

  wfp::Status begin_transaction() override { return FwpmTransactionBegin0(engine_.get(), 0); }
  wfp::Status commit_transaction() override { return FwpmTransactionCommit0(engine_.get()); }
  wfp::Status abort_transaction() override { return FwpmTransactionAbort0(engine_.get()); }

  wfp::Status add_filter(const FilterSpec& spec) override {
    const wfp::Guid* layer = layer_key(spec.layer);
    if (layer == nullptr) return wfp::kErrLayerNotFound;
    std::wstring name = wide(spec.display_name);
    GUID provider = to_guid(spec.provider_key);
    ConditionStorage store(spec.conditions.size());
    for (std::size_t i = 0; i < spec.conditions.size(); ++i) fill_condition(spec.conditions[i], i, store);

    FWPM_FILTER0 f;
    std::memset(&f, 0, sizeof f);  // zero filter key: the engine assigns key and id
    f.displayData.name = name.data();
    f.flags = spec.flags;
    f.providerKey = &provider;
    f.layerKey = to_guid(*layer);
    f.subLayerKey = to_guid(spec.sublayer_key);
    f.weight.type = FWP_UINT8;
    f.weight.uint8 = spec.weight;
    f.numFilterConditions = static_cast<UINT32>(store.conditions.size());
    f.filterCondition = store.conditions.empty() ? nullptr : store.conditions.data();
    f.action.type = spec.action;
    return FwpmFilterAdd0(engine_.get(), &f, nullptr, nullptr);
  }

  wfp::Status create_filter_enum(const wfp::Guid& provider_key, std::uint8_t layer,
                                 std::unique_ptr<WfpFilterEnum>& out) override {
    const wfp::Guid* layer_guid = layer_key(layer);
    if (layer_guid == nullptr) return wfp::kErrLayerNotFound;
    GUID provider = to_guid(provider_key);
    FWPM_FILTER_ENUM_TEMPLATE0 t;
    std::memset(&t, 0, sizeof t);
    t.providerKey = &provider;
    t.layerKey = to_guid(*layer_guid);
    t.enumType = FWP_FILTER_ENUM_OVERLAPPING;
    t.flags = 0;
    t.numFilterConditions = 0;
    t.actionMask = 0xFFFFFFFF;
    HANDLE handle = nullptr;
    const DWORD rc = FwpmFilterCreateEnumHandle0(engine_.get(), &t, &handle);
    if (rc != ERROR_SUCCESS) return rc;
    out = std::make_unique<Win32FilterEnum>(engine_.get(), handle);
    return ERROR_SUCCESS;
  }

  wfp::Status delete_filter(std::uint64_t id) override { return FwpmFilterDeleteById0(engine_.get(), id); }

  wfp::Status delete_sublayer(const wfp::Guid& key) override {
    const GUID k = to_guid(key);
    return FwpmSubLayerDeleteByKey0(engine_.get(), &k);
  }

  wfp::Status delete_provider(const wfp::Guid& key) override {
    const GUID k = to_guid(key);
    return FwpmProviderDeleteByKey0(engine_.get(), &k);
  }

 private:
  EngineHandle engine_;
};

class Win32WfpApi final : public WfpApi {
 public:
  std::unique_ptr<WfpSession> open_session() override {
    HANDLE engine = nullptr;
    // Local engine, Windows authentication, no session: the objects are not dynamic.
    if (FwpmEngineOpen0(nullptr, RPC_C_AUTHN_WINNT, nullptr, nullptr, &engine) != ERROR_SUCCESS) return nullptr;
    return std::make_unique<Win32Session>(engine);
  }

  std::optional<std::uint64_t> interface_luid(std::string_view alias) override {
    const std::wstring name = wide(alias);
    NET_LUID luid{};
    if (ConvertInterfaceAliasToLuid(name.c_str(), &luid) != NO_ERROR) return std::nullopt;
    return luid.Value;
  }

  std::optional<ByteBlob> app_id_from_file_name(const std::filesystem::path& file) override {
    const std::wstring name = file.wstring();
    FwpmMemory<FWP_BYTE_BLOB> blob;
    if (FwpmGetAppIdFromFileName0(name.c_str(), blob.put()) != ERROR_SUCCESS || blob.get() == nullptr) {
      return std::nullopt;
    }
    const FWP_BYTE_BLOB& b = *blob.get();
    if (b.size > 0 && b.data == nullptr) return std::nullopt;
    return ByteBlob(b.data, b.data + b.size);
  }
};

}  // namespace

std::shared_ptr<WfpApi> system_wfp_api() { return std::make_shared<Win32WfpApi>(); }

std::unique_ptr<FilterOps> system_filter_ops() { return std::make_unique<WfpFilterOps>(system_wfp_api()); }

}  // namespace velk
