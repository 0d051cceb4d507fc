// The kill-switch operations. Each opens its own engine session and closes it
// before returning. Held against the safety invariant of filter_rules.h: the
// set of filters only changes inside one transaction, which is aborted on any
// failure, so the set in force is always a whole set, old or new.

#include "wfp/wfp_filter_ops.h"

#include <optional>
#include <utility>

#include "ipc/error_codes.h"
#include "wfp/filter_rules.h"

namespace velk {
namespace {

Error killswitch_failed() { return fail(err::killswitch_failed); }

// Aborts the transaction on every path that does not commit it.
class Transaction {
 public:
  explicit Transaction(WfpSession& session) : session_(session) {}
  ~Transaction() {
    if (open_) session_.abort_transaction();
  }
  Transaction(const Transaction&) = delete;
  Transaction& operator=(const Transaction&) = delete;

  bool begin() {
    open_ = session_.begin_transaction() == wfp::kOk;
    return open_;
  }
  // A failed commit is aborted as well (the engine may already have done so).
  bool commit() {
    if (session_.commit_transaction() != wfp::kOk) return false;
    open_ = false;
    return true;
  }

 private:
  WfpSession& session_;
  bool open_ = false;
};

bool accepted(wfp::Status s) { return s == wfp::kOk || s == wfp::kErrAlreadyExists; }

// Outside any transaction; an existing provider or sublayer is fine.
bool ensure_provider_and_sublayer(WfpSession& session) {
  return accepted(session.add_provider(kill_switch_provider())) &&
         accepted(session.add_sublayer(kill_switch_sublayer()));
}

// The ids of the provider's filters in one layer, page by page; the
// enumeration handle is destroyed on every path.
std::optional<std::vector<std::uint64_t>> provider_filter_ids(WfpSession& session, std::uint8_t layer) {
  std::unique_ptr<WfpFilterEnum> filters;
  if (session.create_filter_enum(wfp::kProviderKey, layer, filters) != wfp::kOk || !filters) return std::nullopt;
  std::vector<std::uint64_t> ids;
  for (;;) {
    std::uint32_t returned = 0;
    if (filters->next_page(kEnumPageSize, ids, returned) != wfp::kOk) return std::nullopt;
    if (returned < kEnumPageSize) return ids;
  }
}

// Deletes every filter of the provider in the four layers.
bool delete_provider_filters(WfpSession& session) {
  for (std::uint8_t layer = 0; layer < kLayerCount; ++layer) {
    auto ids = provider_filter_ids(session, layer);
    if (!ids) return false;
    for (std::uint64_t id : *ids) {
      if (session.delete_filter(id) != wfp::kOk) return false;
    }
  }
  return true;
}

void delete_sublayer_and_provider(WfpSession& session) {
  (void)session.delete_sublayer(wfp::kSublayerKey);
  (void)session.delete_provider(wfp::kProviderKey);
}

}  // namespace

WfpFilterOps::WfpFilterOps(std::shared_ptr<WfpApi> api, TunnelRecord& tunnel, EnginePathSlot& engine_path)
    : api_(std::move(api)), tunnel_(tunnel), engine_path_(engine_path) {}

Outcome WfpFilterOps::install_filters(const std::vector<Pin>& pins) {
  const std::unique_ptr<WfpSession> session = api_->open_session();
  if (!session) return killswitch_failed();
  if (!ensure_provider_and_sublayer(*session)) return killswitch_failed();

  // A missing tunnel interface is not an error: its permit is left out until
  // the watcher sees the interface appear.
  const std::optional<std::uint64_t> luid = api_->interface_luid(kTunnelAlias);
  const std::vector<FilterRule> rules = build_rules(pins, luid.has_value());

  std::optional<ByteBlob> app_id;
  if (const auto path = engine_path_.get()) app_id = api_->app_id_from_file_name(*path);
  const RuleInputs inputs{luid.value_or(0), app_id ? &*app_id : nullptr};

  Transaction txn(*session);
  if (!txn.begin()) return killswitch_failed();
  if (!delete_provider_filters(*session)) return killswitch_failed();
  for (const FilterRule& rule : rules) {
    const Result<FilterSpec> spec = filter_spec(rule, inputs);  // pins without an app id fail here
    if (!spec || session->add_filter(*spec) != wfp::kOk) return killswitch_failed();
  }
  if (!txn.commit()) return killswitch_failed();

  tunnel_.set({luid.has_value(), luid.value_or(0)});
  return {};
}

Outcome WfpFilterOps::remove_filters() {
  const std::unique_ptr<WfpSession> session = api_->open_session();
  if (!session) return killswitch_failed();
  if (!ensure_provider_and_sublayer(*session)) return killswitch_failed();
  {
    Transaction txn(*session);
    if (!txn.begin()) return killswitch_failed();
    if (!delete_provider_filters(*session)) return killswitch_failed();
    if (!txn.commit()) return killswitch_failed();
  }
  delete_sublayer_and_provider(*session);
  tunnel_.set_absent();
  return {};
}

bool WfpFilterOps::filters_intact() {
  const std::unique_ptr<WfpSession> session = api_->open_session();
  if (!session) return false;
  for (std::uint8_t layer = 0; layer < kLayerCount; ++layer) {
    const auto ids = provider_filter_ids(*session, layer);
    if (!ids || ids->empty()) return false;
  }
  return true;
}

Result<bool> WfpFilterOps::list_filters() {
  const std::unique_ptr<WfpSession> session = api_->open_session();
  if (!session) return killswitch_failed();
  if (!ensure_provider_and_sublayer(*session)) return killswitch_failed();
  bool any = false;
  for (std::uint8_t layer = 0; layer < kLayerCount; ++layer) {
    const auto ids = provider_filter_ids(*session, layer);
    if (!ids) return killswitch_failed();
    any = any || !ids->empty();
  }
  if (!any) delete_sublayer_and_provider(*session);
  return any;
}

Result<bool> WfpFilterOps::filters_present() {
  const std::unique_ptr<WfpSession> session = api_->open_session();
  if (!session) return killswitch_failed();
  for (std::uint8_t layer = 0; layer < kLayerCount; ++layer) {
    const auto ids = provider_filter_ids(*session, layer);
    if (!ids) return killswitch_failed();
    if (!ids->empty()) return true;
  }
  return false;
}

bool WfpFilterOps::tunnel_changed() {
  const std::optional<std::uint64_t> now = api_->interface_luid(kTunnelAlias);
  const TunnelState recorded = tunnel_.get();
  if (recorded.present && now) return recorded.luid != *now;
  return recorded.present != now.has_value();
}

}  // namespace velk
