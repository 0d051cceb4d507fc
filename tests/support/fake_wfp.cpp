#include "fake_wfp.h"

#include <algorithm>
#include <chrono>
#include <utility>

#include "platform/text.h"
#include "wfp/wfp_filter_ops.h"

namespace velk::test {
namespace {

constexpr auto kTxnWait = std::chrono::seconds(2);
constexpr wfp::Guid kForeignProvider{0x0f0f0f0f, 0x1111, 0x2222, {0x33, 0x33, 0, 0, 0, 0, 0, 0x01}};
constexpr wfp::Guid kForeignSublayer{0x0f0f0f0f, 0x1111, 0x2222, {0x33, 0x33, 0, 0, 0, 0, 0, 0x02}};

bool is_v6_layer(std::uint8_t layer) { return layer == kLayerConnectV6 || layer == kLayerAcceptV6; }

wfp::DataType expected_type(ConditionField field, std::uint8_t layer) {
  switch (field) {
    case ConditionField::flags: return wfp::DataType::uint32;
    case ConditionField::ip_local_interface: return wfp::DataType::uint64;
    case ConditionField::ale_app_id: return wfp::DataType::byte_blob;
    case ConditionField::ip_protocol: return wfp::DataType::uint8;
    case ConditionField::ip_remote_address:
      return is_v6_layer(layer) ? wfp::DataType::byte_array16 : wfp::DataType::uint32;
    case ConditionField::ip_remote_port:
    case ConditionField::ip_local_port: return wfp::DataType::uint16;
  }
  return wfp::DataType::empty;
}

// What the engine checks before it accepts a filter.
wfp::Status validate(const FilterSpec& f, const std::map<wfp::Guid, ProviderSpec>& providers,
                     const std::map<wfp::Guid, SublayerSpec>& sublayers) {
  if (layer_key(f.layer) == nullptr) return wfp::kErrLayerNotFound;
  if (!providers.contains(f.provider_key)) return wfp::kErrProviderNotFound;
  if (!sublayers.contains(f.sublayer_key)) return wfp::kErrSublayerNotFound;
  if (f.action != wfp::kActionBlock && f.action != wfp::kActionPermit) return wfp::kErrInvalidActionType;
  constexpr std::uint32_t known =
      wfp::kFilterFlagPersistent | wfp::kFilterFlagBoottime | wfp::kFilterFlagClearActionRight;
  if ((f.flags & ~known) != 0) return wfp::kErrInvalidFlags;
  if ((f.flags & wfp::kFilterFlagPersistent) && (f.flags & wfp::kFilterFlagBoottime)) return wfp::kErrInvalidFlags;
  for (const FilterCondition& c : f.conditions) {
    if (data_type(c.value) != expected_type(c.field, f.layer)) return wfp::kErrTypeMismatch;
    const bool flags_match = c.match == wfp::MatchType::flags_all_set;
    if (flags_match && c.field != ConditionField::flags) return wfp::kErrMatchTypeMismatch;
    if (!flags_match && c.match != wfp::MatchType::equal) return wfp::kErrMatchTypeMismatch;
  }
  return wfp::kOk;
}

bool sublayer_in_use(const auto& state, const wfp::Guid& key) {
  return std::any_of(state.filters.begin(), state.filters.end(),
                     [&](const auto& f) { return f.second.sublayer_key == key; });
}

bool provider_in_use(const auto& state, const wfp::Guid& key) {
  return std::any_of(state.filters.begin(), state.filters.end(),
                     [&](const auto& f) { return f.second.provider_key == key; }) ||
         std::any_of(state.sublayers.begin(), state.sublayers.end(),
                     [&](const auto& s) { return s.second.provider_key == key; });
}

FilterSpec stray_block(const wfp::Guid& provider, const wfp::Guid& sublayer, std::uint8_t layer) {
  FilterSpec f;
  f.display_name = "stray block";
  f.flags = wfp::kFilterFlagPersistent;
  f.provider_key = provider;
  f.layer = layer;
  f.sublayer_key = sublayer;
  f.action = wfp::kActionBlock;
  return f;
}

// One helper process's view: its own tunnel record and engine path slot.
class FakeProcessOps final : public FilterOps {
 public:
  FakeProcessOps(std::shared_ptr<WfpApi> api, std::optional<std::filesystem::path> engine_path)
      : ops_(std::move(api), tunnel_, engine_path_) {
    engine_path_.set(std::move(engine_path));
  }
  Outcome install_filters(const std::vector<Pin>& pins) override { return ops_.install_filters(pins); }
  Outcome remove_filters() override { return ops_.remove_filters(); }
  bool filters_intact() override { return ops_.filters_intact(); }
  Result<bool> list_filters() override { return ops_.list_filters(); }
  Result<bool> filters_present() override { return ops_.filters_present(); }
  bool tunnel_changed() override { return ops_.tunnel_changed(); }

 private:
  TunnelRecord tunnel_;
  EnginePathSlot engine_path_;
  WfpFilterOps ops_;
};

}  // namespace

class FakeFilterEnum final : public WfpFilterEnum {
 public:
  FakeFilterEnum(std::shared_ptr<FakeWfpEngine> engine, std::vector<std::uint64_t> snapshot)
      : engine_(std::move(engine)), snapshot_(std::move(snapshot)) {}
  ~FakeFilterEnum() override { engine_->close_enum(); }
  wfp::Status next_page(std::uint32_t max, std::vector<std::uint64_t>& ids, std::uint32_t& returned) override {
    return engine_->enum_page(snapshot_, pos_, max, ids, returned);
  }
  wfp::Status next_filters(std::uint32_t max, std::vector<ListedFilter>& filters, std::uint32_t& returned) override {
    std::vector<std::uint64_t> ids;
    const wfp::Status s = engine_->enum_page(snapshot_, pos_, max, ids, returned);
    for (std::uint64_t id : ids) {
      // A filter deleted since the snapshot is listed as the engine had it then: not at all here.
      if (std::optional<FilterSpec> spec = engine_->committed_filter(id)) filters.push_back({id, *spec, true});
    }
    return s;
  }

 private:
  std::shared_ptr<FakeWfpEngine> engine_;
  std::vector<std::uint64_t> snapshot_;
  std::size_t pos_ = 0;
};

class FakeSession final : public WfpSession {
 public:
  FakeSession(std::shared_ptr<FakeWfpEngine> engine, int id) : engine_(std::move(engine)), id_(id) {}
  ~FakeSession() override { engine_->close_session(id_); }
  wfp::Status add_provider(const ProviderSpec& p) override {
    return stepped(engine_->add_provider(id_, p), "add provider");
  }
  wfp::Status add_sublayer(const SublayerSpec& s) override {
    return stepped(engine_->add_sublayer(id_, s), "add sublayer");
  }
  wfp::Status begin_transaction() override { return stepped(engine_->begin(id_), "begin transaction"); }
  wfp::Status commit_transaction() override { return stepped(engine_->commit(id_), "commit transaction"); }
  wfp::Status abort_transaction() override { return stepped(engine_->abort(id_), "abort transaction"); }
  wfp::Status add_filter(const FilterSpec& f) override { return engine_->add_filter(id_, f); }
  wfp::Status create_filter_enum(const wfp::Guid& provider, std::uint8_t layer,
                                 std::unique_ptr<WfpFilterEnum>& out) override {
    return engine_->create_enum(id_, provider, layer, out);
  }
  wfp::Status delete_filter(std::uint64_t id) override { return engine_->delete_filter(id_, id); }
  wfp::Status delete_sublayer(const wfp::Guid& key) override {
    return stepped(engine_->delete_sublayer(id_, key), "delete sublayer");
  }
  wfp::Status delete_provider(const wfp::Guid& key) override {
    return stepped(engine_->delete_provider(id_, key), "delete provider");
  }

 private:
  // A call that went through is a step, whether or not it was inside a
  // transaction (a begin is one, so a crash after it is told apart).
  wfp::Status stepped(wfp::Status status, const char* what) {
    if (status == wfp::kOk) engine_->step(what);
    return status;
  }

  std::shared_ptr<FakeWfpEngine> engine_;
  int id_;
};

const std::filesystem::path& fake_engine_path() {
  static const std::filesystem::path path = "C:/Program Files/VELK VPN/velkvpn-engine.exe";
  return path;
}

std::shared_ptr<FakeWfpEngine> FakeWfpEngine::create() { return std::make_shared<FakeWfpEngine>(); }

std::unique_ptr<FilterOps> FakeWfpEngine::make_filter_ops(std::optional<std::filesystem::path> engine_path) {
  return std::make_unique<FakeProcessOps>(shared_from_this(), std::move(engine_path));
}

// ---- The machine ----

void FakeWfpEngine::set_tunnel_luid(std::optional<std::uint64_t> luid) {
  std::lock_guard lock(mutex_);
  tunnel_luid_ = luid;
}

ByteBlob FakeWfpEngine::app_id_for(const std::filesystem::path& file) {
  // Like the real one: the lower-cased path, NUL-terminated.
  std::string text = ascii_lower(utf8_from_path(file));
  ByteBlob blob(text.begin(), text.end());
  blob.push_back(0);
  return blob;
}

// ---- Inspection ----

std::vector<FakeFilter> FakeWfpEngine::filters() const {
  std::lock_guard lock(mutex_);
  std::vector<FakeFilter> out;
  for (const auto& [id, spec] : committed_.filters) out.push_back({id, spec});
  return out;
}

std::size_t FakeWfpEngine::filter_count() const {
  std::lock_guard lock(mutex_);
  return std::count_if(committed_.filters.begin(), committed_.filters.end(),
                       [](const auto& f) { return f.second.provider_key == wfp::kProviderKey; });
}

std::size_t FakeWfpEngine::filter_count(std::uint8_t layer) const {
  std::lock_guard lock(mutex_);
  return std::count_if(committed_.filters.begin(), committed_.filters.end(), [&](const auto& f) {
    return f.second.provider_key == wfp::kProviderKey && f.second.layer == layer;
  });
}

std::vector<Pin> FakeWfpEngine::installed_pins() const {
  std::lock_guard lock(mutex_);
  std::vector<Pin> pins;
  for (const auto& [id, f] : committed_.filters) {
    if (f.provider_key != wfp::kProviderKey) continue;
    std::optional<IpAddress> ip;
    std::optional<std::uint16_t> port;
    for (const FilterCondition& c : f.conditions) {
      if (c.field == ConditionField::ip_remote_address) {
        if (const auto* v4 = std::get_if<std::uint32_t>(&c.value)) {
          ip = IpAddress::v4({static_cast<std::uint8_t>(*v4 >> 24), static_cast<std::uint8_t>(*v4 >> 16),
                              static_cast<std::uint8_t>(*v4 >> 8), static_cast<std::uint8_t>(*v4)});
        } else if (const auto* v6 = std::get_if<ByteArray16>(&c.value)) {
          ip = IpAddress::v6(*v6);
        }
      } else if (c.field == ConditionField::ip_remote_port) {
        if (const auto* p = std::get_if<std::uint16_t>(&c.value)) port = *p;
      }
    }
    if (ip && port) pins.push_back({*ip, *port});
  }
  std::sort(pins.begin(), pins.end());
  return pins;
}

std::optional<std::uint64_t> FakeWfpEngine::installed_tunnel_luid() const {
  std::lock_guard lock(mutex_);
  for (const auto& [id, f] : committed_.filters) {
    if (f.provider_key != wfp::kProviderKey) continue;
    for (const FilterCondition& c : f.conditions) {
      if (c.field != ConditionField::ip_local_interface) continue;
      if (const auto* luid = std::get_if<std::uint64_t>(&c.value)) return *luid;
    }
  }
  return std::nullopt;
}

std::optional<ProviderSpec> FakeWfpEngine::provider() const {
  std::lock_guard lock(mutex_);
  auto it = committed_.providers.find(wfp::kProviderKey);
  if (it == committed_.providers.end()) return std::nullopt;
  return it->second;
}

std::optional<SublayerSpec> FakeWfpEngine::sublayer() const {
  std::lock_guard lock(mutex_);
  auto it = committed_.sublayers.find(wfp::kSublayerKey);
  if (it == committed_.sublayers.end()) return std::nullopt;
  return it->second;
}

bool FakeWfpEngine::transaction_open() const {
  std::lock_guard lock(mutex_);
  return txn_session_ != 0;
}

int FakeWfpEngine::open_sessions() const {
  std::lock_guard lock(mutex_);
  return open_sessions_;
}

int FakeWfpEngine::open_enums() const {
  std::lock_guard lock(mutex_);
  return open_enums_;
}

int FakeWfpEngine::calls(FakeWfpCall call) const {
  std::lock_guard lock(mutex_);
  auto it = calls_.find(call);
  return it == calls_.end() ? 0 : it->second;
}

// ---- Behind the helper's back: waits, like any client, for a running transaction ----

void FakeWfpEngine::delete_filters_in_layer(std::uint8_t layer) {
  std::unique_lock lock(mutex_);
  wait_for_no_other_txn(lock, 0);
  std::erase_if(committed_.filters,
                [&](const auto& f) { return f.second.provider_key == wfp::kProviderKey && f.second.layer == layer; });
}

void FakeWfpEngine::delete_all_filters() {
  std::unique_lock lock(mutex_);
  wait_for_no_other_txn(lock, 0);
  std::erase_if(committed_.filters, [&](const auto& f) { return f.second.provider_key == wfp::kProviderKey; });
}

bool FakeWfpEngine::delete_filter_by_id(std::uint64_t id) {
  std::unique_lock lock(mutex_);
  wait_for_no_other_txn(lock, 0);
  return committed_.filters.erase(id) == 1;
}

void FakeWfpEngine::add_stray_filters(std::uint8_t layer, std::size_t count) {
  std::unique_lock lock(mutex_);
  wait_for_no_other_txn(lock, 0);
  committed_.providers.try_emplace(wfp::kProviderKey, kill_switch_provider());
  committed_.sublayers.try_emplace(wfp::kSublayerKey, kill_switch_sublayer());
  for (std::size_t i = 0; i < count; ++i) {
    committed_.filters[next_filter_id_++] = stray_block(wfp::kProviderKey, wfp::kSublayerKey, layer);
  }
}

void FakeWfpEngine::add_foreign_filter(std::uint8_t layer) {
  std::unique_lock lock(mutex_);
  wait_for_no_other_txn(lock, 0);
  committed_.providers.try_emplace(kForeignProvider, ProviderSpec{kForeignProvider, "other", 1});
  committed_.sublayers.try_emplace(kForeignSublayer, SublayerSpec{kForeignSublayer, "other", 1, kForeignProvider, 1});
  committed_.filters[next_filter_id_++] = stray_block(kForeignProvider, kForeignSublayer, layer);
}

// ---- Crashes and reboots ----

void FakeWfpEngine::on_step(std::function<void(const std::string&)> hook) {
  std::lock_guard lock(mutex_);
  step_hook_ = std::move(hook);
}

void FakeWfpEngine::step(const char* what) {
  std::function<void(const std::string&)> hook;
  {
    std::lock_guard lock(mutex_);
    hook = step_hook_;
  }
  if (hook) hook(what);
}

std::shared_ptr<FakeWfpEngine> FakeWfpEngine::reboot() const {
  auto next = create();
  std::lock_guard lock(mutex_);
  next->committed_ = committed_;
  next->next_filter_id_ = next_filter_id_;
  next->tunnel_luid_ = tunnel_luid_;
  return next;
}

// ---- Failure injection ----

void FakeWfpEngine::fail(FakeWfpCall call, int nth, wfp::Status status) {
  std::lock_guard lock(mutex_);
  failures_[call] = Failure{nth < 1 ? 1 : nth, status};
}

void FakeWfpEngine::fail_always(FakeWfpCall call, wfp::Status status) {
  std::lock_guard lock(mutex_);
  failures_[call] = Failure{0, status};
}

void FakeWfpEngine::fail_from(FakeWfpCall call, int nth, wfp::Status status) {
  std::lock_guard lock(mutex_);
  failures_[call] = Failure{nth < 1 ? 1 : nth, status, true};
}

void FakeWfpEngine::clear_failures() {
  std::lock_guard lock(mutex_);
  failures_.clear();
}

std::optional<wfp::Status> FakeWfpEngine::injected(FakeWfpCall call) {
  ++calls_[call];
  auto it = failures_.find(call);
  if (it == failures_.end()) return std::nullopt;
  Failure& f = it->second;
  const wfp::Status status = f.status;
  if (f.countdown == 0) return status;
  if (--f.countdown > 0) return std::nullopt;
  if (f.then_always) {
    f.countdown = 0;
    return status;
  }
  failures_.erase(it);
  return status;
}

// ---- WfpApi ----

std::unique_ptr<WfpSession> FakeWfpEngine::open_session() {
  std::lock_guard lock(mutex_);
  if (injected(FakeWfpCall::open_session)) return nullptr;
  ++open_sessions_;
  return std::make_unique<FakeSession>(shared_from_this(), next_session_++);
}

std::optional<std::uint64_t> FakeWfpEngine::interface_luid(std::string_view alias) {
  std::lock_guard lock(mutex_);
  if (injected(FakeWfpCall::interface_luid)) return std::nullopt;
  if (alias != kTunnelAlias) return std::nullopt;
  return tunnel_luid_;
}

std::optional<ByteBlob> FakeWfpEngine::app_id_from_file_name(const std::filesystem::path& file) {
  {
    std::lock_guard lock(mutex_);
    if (injected(FakeWfpCall::app_id_from_file_name)) return std::nullopt;
  }
  return app_id_for(file);
}

// ---- Transactions ----

bool FakeWfpEngine::wait_for_no_other_txn(std::unique_lock<std::mutex>& lock, int session) {
  return txn_ended_.wait_for(lock, kTxnWait, [&] { return txn_session_ == 0 || owns_txn(session); });
}

void FakeWfpEngine::end_txn() {
  txn_session_ = 0;
  working_ = State{};
  txn_ended_.notify_all();
}

wfp::Status FakeWfpEngine::begin(int session) {
  std::unique_lock lock(mutex_);
  if (auto s = injected(FakeWfpCall::begin_transaction)) return *s;
  if (owns_txn(session)) return wfp::kErrTxnInProgress;
  if (!wait_for_no_other_txn(lock, session)) return wfp::kErrTimeout;
  txn_session_ = session;
  working_ = committed_;
  return wfp::kOk;
}

wfp::Status FakeWfpEngine::commit(int session) {
  std::lock_guard lock(mutex_);
  const auto s = injected(FakeWfpCall::commit_transaction);
  if (!owns_txn(session)) return s.value_or(wfp::kErrNoTxnInProgress);
  if (s) {
    end_txn();  // a failed commit leaves nothing of the transaction
    return *s;
  }
  committed_ = std::move(working_);
  end_txn();
  return wfp::kOk;
}

wfp::Status FakeWfpEngine::abort(int session) {
  std::lock_guard lock(mutex_);
  if (auto s = injected(FakeWfpCall::abort_transaction)) return *s;
  if (!owns_txn(session)) return wfp::kErrNoTxnInProgress;
  end_txn();
  return wfp::kOk;
}

void FakeWfpEngine::close_session(int session) {
  std::lock_guard lock(mutex_);
  if (owns_txn(session)) end_txn();
  --open_sessions_;
}

// ---- Objects ----

wfp::Status FakeWfpEngine::add_provider(int session, const ProviderSpec& provider) {
  std::unique_lock lock(mutex_);
  if (auto s = injected(FakeWfpCall::add_provider)) return *s;
  if (!wait_for_no_other_txn(lock, session)) return wfp::kErrTimeout;
  State& st = state_for(session);
  if (st.providers.contains(provider.key)) return wfp::kErrAlreadyExists;
  st.providers[provider.key] = provider;
  return wfp::kOk;
}

wfp::Status FakeWfpEngine::add_sublayer(int session, const SublayerSpec& sublayer) {
  std::unique_lock lock(mutex_);
  if (auto s = injected(FakeWfpCall::add_sublayer)) return *s;
  if (!wait_for_no_other_txn(lock, session)) return wfp::kErrTimeout;
  State& st = state_for(session);
  if (st.sublayers.contains(sublayer.key)) return wfp::kErrAlreadyExists;
  if (!st.providers.contains(sublayer.provider_key)) return wfp::kErrProviderNotFound;
  st.sublayers[sublayer.key] = sublayer;
  return wfp::kOk;
}

wfp::Status FakeWfpEngine::add_filter(int session, const FilterSpec& filter) {
  std::lock_guard lock(mutex_);
  if (auto s = injected(FakeWfpCall::add_filter)) return *s;
  if (!owns_txn(session)) return wfp::kErrNoTxnInProgress;
  if (auto s = validate(filter, working_.providers, working_.sublayers); s != wfp::kOk) return s;
  working_.filters[next_filter_id_++] = filter;
  return wfp::kOk;
}

wfp::Status FakeWfpEngine::create_enum(int session, const wfp::Guid& provider, std::uint8_t layer,
                                       std::unique_ptr<WfpFilterEnum>& out) {
  std::lock_guard lock(mutex_);
  if (auto s = injected(FakeWfpCall::create_filter_enum)) return *s;
  if (layer_key(layer) == nullptr) return wfp::kErrLayerNotFound;
  const State& st = state_for(session);
  std::vector<std::uint64_t> ids;
  for (const auto& [id, f] : st.filters) {
    if (f.provider_key == provider && f.layer == layer) ids.push_back(id);
  }
  ++open_enums_;
  out = std::make_unique<FakeFilterEnum>(shared_from_this(), std::move(ids));
  return wfp::kOk;
}

wfp::Status FakeWfpEngine::enum_page(const std::vector<std::uint64_t>& snapshot, std::size_t& pos,
                                     std::uint32_t max, std::vector<std::uint64_t>& ids, std::uint32_t& returned) {
  std::lock_guard lock(mutex_);
  returned = 0;
  if (auto s = injected(FakeWfpCall::filter_enum_page)) return *s;
  while (returned < max && pos < snapshot.size()) {
    ids.push_back(snapshot[pos++]);
    ++returned;
  }
  return wfp::kOk;
}

std::optional<FilterSpec> FakeWfpEngine::committed_filter(std::uint64_t id) const {
  std::lock_guard lock(mutex_);
  const auto it = committed_.filters.find(id);
  if (it == committed_.filters.end()) return std::nullopt;
  return it->second;
}

void FakeWfpEngine::close_enum() {
  std::lock_guard lock(mutex_);
  --open_enums_;
}

wfp::Status FakeWfpEngine::delete_filter(int session, std::uint64_t id) {
  std::lock_guard lock(mutex_);
  if (auto s = injected(FakeWfpCall::delete_filter)) return *s;
  if (!owns_txn(session)) return wfp::kErrNoTxnInProgress;
  return working_.filters.erase(id) == 1 ? wfp::kOk : wfp::kErrFilterNotFound;
}

wfp::Status FakeWfpEngine::delete_sublayer(int session, const wfp::Guid& key) {
  std::unique_lock lock(mutex_);
  if (auto s = injected(FakeWfpCall::delete_sublayer)) return *s;
  if (!wait_for_no_other_txn(lock, session)) return wfp::kErrTimeout;
  State& st = state_for(session);
  if (!st.sublayers.contains(key)) return wfp::kErrSublayerNotFound;
  if (sublayer_in_use(st, key)) return wfp::kErrInUse;
  st.sublayers.erase(key);
  return wfp::kOk;
}

wfp::Status FakeWfpEngine::delete_provider(int session, const wfp::Guid& key) {
  std::unique_lock lock(mutex_);
  if (auto s = injected(FakeWfpCall::delete_provider)) return *s;
  if (!wait_for_no_other_txn(lock, session)) return wfp::kErrTimeout;
  State& st = state_for(session);
  if (!st.providers.contains(key)) return wfp::kErrProviderNotFound;
  if (provider_in_use(st, key)) return wfp::kErrInUse;
  st.providers.erase(key);
  return wfp::kOk;
}

}  // namespace velk::test
