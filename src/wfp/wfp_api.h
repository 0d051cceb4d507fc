#pragma once
// The filtering-engine and interface calls the kill switch makes, as a small
// interface: the Windows build implements it with fwpuclnt and iphlpapi
// (wfp_api_win32.cpp), the tests with an in-memory engine. Every call returns
// the engine's status code as a value (0 = success), so the callers can tell
// "already exists" from a failure.

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "wfp/filter_spec.h"
#include "wfp/wfp_constants.h"

namespace velk {

// A filter as the engine lists it. `understood` is false when the engine
// holds something a FilterSpec cannot carry (a layer other than the four, a
// weight that is no FWP_UINT8, a condition field or value type of another
// kind); `spec` then holds what could be read, and such a filter never equals
// one the helper makes.
struct ListedFilter {
  std::uint64_t id = 0;
  FilterSpec spec;
  bool understood = true;

  bool operator==(const ListedFilter&) const = default;
};

// An open filter enumeration (FwpmFilterCreateEnumHandle0); destroyed with the object.
class WfpFilterEnum {
 public:
  virtual ~WfpFilterEnum() = default;
  // Asks for at most `max` filters (FwpmFilterEnum0); appends their ids to
  // `ids` and stores how many came back in `returned`.
  virtual wfp::Status next_page(std::uint32_t max, std::vector<std::uint64_t>& ids, std::uint32_t& returned) = 0;
  // The same, appending each filter whole (read only).
  virtual wfp::Status next_filters(std::uint32_t max, std::vector<ListedFilter>& filters, std::uint32_t& returned) = 0;
};

// An open engine session (FwpmEngineOpen0); closed with the object. Closing a
// session with a transaction still open aborts it.
class WfpSession {
 public:
  virtual ~WfpSession() = default;
  virtual wfp::Status add_provider(const ProviderSpec& provider) = 0;
  virtual wfp::Status add_sublayer(const SublayerSpec& sublayer) = 0;
  virtual wfp::Status begin_transaction() = 0;
  virtual wfp::Status commit_transaction() = 0;
  virtual wfp::Status abort_transaction() = 0;
  // The id the engine assigns is not kept.
  virtual wfp::Status add_filter(const FilterSpec& filter) = 0;
  // The filters of `provider` in layer 0..3 (enumeration type "overlapping",
  // no conditions, every action).
  virtual wfp::Status create_filter_enum(const wfp::Guid& provider, std::uint8_t layer,
                                         std::unique_ptr<WfpFilterEnum>& out) = 0;
  virtual wfp::Status delete_filter(std::uint64_t id) = 0;
  virtual wfp::Status delete_sublayer(const wfp::Guid& key) = 0;
  virtual wfp::Status delete_provider(const wfp::Guid& key) = 0;
};

class WfpApi {
 public:
  virtual ~WfpApi() = default;
  // Opens a session on the local engine (not dynamic: objects outlive it).
  // nullptr on failure.
  virtual std::unique_ptr<WfpSession> open_session() = 0;
  // The LUID of the interface with this alias (ConvertInterfaceAliasToLuid);
  // nullopt when there is none.
  virtual std::optional<std::uint64_t> interface_luid(std::string_view alias) = 0;
  // The application id of an executable (FwpmGetAppIdFromFileName0), copied
  // out of the engine's memory; nullopt on failure.
  virtual std::optional<ByteBlob> app_id_from_file_name(const std::filesystem::path& file) = 0;
};

}  // namespace velk
