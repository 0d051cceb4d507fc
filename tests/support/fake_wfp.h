#pragma once
// An in-memory filtering engine for tests: one FakeWfpEngine is "the machine's
// Base Filtering Engine", holding persistent providers, sublayers and filters;
// every session opened on it is a client. Two FilterOps made from one engine
// behave like two processes of the helper (each has its own tunnel record and
// engine path slot).
//
//   auto engine = velk::test::FakeWfpEngine::create();
//   auto ops = engine->make_filter_ops();          // engine path published
//   ops->install_filters(pins);
//   EXPECT_EQ(engine->installed_pins(), pins);
//   engine->delete_filters_in_layer(2);            // behind the helper's back
//   engine->fail(velk::test::FakeWfpCall::commit_transaction);  // next commit fails
//
// For the process-wide tunnel record and engine path slot instead (as the
// serving process has them): std::make_unique<velk::WfpFilterOps>(engine).
//
// Semantics, as the real engine's: transactions (abort restores, commit
// publishes; one transaction at a time, a second begin waits up to 2 s for the
// first and then fails with FWP_E_TIMEOUT; closing a session aborts its
// transaction), FWP_E_ALREADY_EXISTS for an existing provider or sublayer,
// filters rejected when their provider or sublayer is missing or a condition
// has the wrong type for its field and layer, deleting a provider or sublayer
// still in use fails with FWP_E_IN_USE. Stricter than the real engine: adding
// or deleting a filter outside a transaction fails with
// FWP_E_NO_TXN_IN_PROGRESS, so code that would lose atomicity is caught.
// Thread-safe.

#include <condition_variable>
#include <cstddef>
#include <functional>
#include <string>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "wfp/filter_ops.h"
#include "wfp/wfp_api.h"

namespace velk::test {

// Every call of the WfpApi, for failure injection and counting.
enum class FakeWfpCall {
  open_session,
  add_provider,
  add_sublayer,
  begin_transaction,
  commit_transaction,  // an injected commit failure also aborts the transaction
  abort_transaction,
  add_filter,
  create_filter_enum,
  filter_enum_page,
  delete_filter,
  delete_sublayer,
  delete_provider,
  interface_luid,         // an injected failure means "no such interface"
  app_id_from_file_name,  // an injected failure means "no application id"
};

struct FakeFilter {
  std::uint64_t id = 0;
  FilterSpec spec;
  bool operator==(const FakeFilter&) const = default;
};

// The engine path make_filter_ops() publishes by default.
const std::filesystem::path& fake_engine_path();

class FakeWfpEngine final : public WfpApi, public std::enable_shared_from_this<FakeWfpEngine> {
 public:
  static std::shared_ptr<FakeWfpEngine> create();

  // ---- A process of the helper ----
  // The five operations over this engine with their own tunnel record and
  // engine path slot (`engine_path` published; nullopt: nothing published, as
  // in the --recover and installer processes).
  std::unique_ptr<FilterOps> make_filter_ops(std::optional<std::filesystem::path> engine_path = fake_engine_path());

  // ---- The machine ----
  // The LUID of the tunnel interface "velkvpn0"; nullopt: no such interface.
  void set_tunnel_luid(std::optional<std::uint64_t> luid);
  // The application id this engine gives to `file`.
  static ByteBlob app_id_for(const std::filesystem::path& file);

  // ---- Inspection of the committed state ----
  std::vector<FakeFilter> filters() const;  // every filter of every provider, by id
  std::size_t filter_count() const;         // filters of the helper's provider
  std::size_t filter_count(std::uint8_t layer) const;
  // The pins of the installed endpoint permits, sorted.
  std::vector<Pin> installed_pins() const;
  // The LUID of the installed tunnel permit; nullopt when there is none.
  std::optional<std::uint64_t> installed_tunnel_luid() const;
  std::optional<ProviderSpec> provider() const;  // the helper's
  std::optional<SublayerSpec> sublayer() const;  // the helper's
  bool transaction_open() const;
  int open_sessions() const;
  int open_enums() const;
  int calls(FakeWfpCall call) const;

  // ---- Behind the helper's back (another program or an administrator) ----
  void delete_filters_in_layer(std::uint8_t layer);  // the helper provider's
  void delete_all_filters();                         // the helper provider's
  bool delete_filter_by_id(std::uint64_t id);
  // Block filters of the helper's provider that the helper did not add
  // (creates the provider and sublayer when missing).
  void add_stray_filters(std::uint8_t layer, std::size_t count);
  // A block filter of another provider in its own sublayer.
  void add_foreign_filter(std::uint8_t layer);

  // ---- Crashes and reboots ----
  // Called, outside the engine's lock, after every call that changes or fixes
  // what the engine keeps across a crash: a transaction begun, committed or
  // aborted, and a provider or sublayer added or deleted outside one. Filter
  // adds and deletes are not steps: until the commit they vanish with a crash.
  void on_step(std::function<void(const std::string&)> hook);
  // A new engine holding what this one keeps across a crash or a reboot: the
  // committed objects, no session, no transaction, no injected failure, the
  // same tunnel interface.
  std::shared_ptr<FakeWfpEngine> reboot() const;

  // ---- Failure injection ----
  // The nth call of that kind from now on fails once with `status`.
  void fail(FakeWfpCall call, int nth = 1, wfp::Status status = wfp::kErrorAccessDenied);
  // Every call of that kind fails until clear_failures().
  void fail_always(FakeWfpCall call, wfp::Status status = wfp::kErrorAccessDenied);
  // The nth call of that kind from now on, and every one after it, fails.
  void fail_from(FakeWfpCall call, int nth, wfp::Status status = wfp::kErrorAccessDenied);
  void clear_failures();

  // ---- WfpApi ----
  std::unique_ptr<WfpSession> open_session() override;
  std::optional<std::uint64_t> interface_luid(std::string_view alias) override;
  std::optional<ByteBlob> app_id_from_file_name(const std::filesystem::path& file) override;

  FakeWfpEngine() = default;  // use create()

 private:
  friend class FakeSession;
  friend class FakeFilterEnum;

  struct State {
    std::map<wfp::Guid, ProviderSpec> providers;
    std::map<wfp::Guid, SublayerSpec> sublayers;
    std::map<std::uint64_t, FilterSpec> filters;
  };
  struct Failure {
    int countdown = 1;  // 0: always
    wfp::Status status = wfp::kErrorAccessDenied;
    bool then_always = false;
  };

  // With mutex_ held.
  std::optional<wfp::Status> injected(FakeWfpCall call);
  bool owns_txn(int session) const { return session != 0 && txn_session_ == session; }
  bool wait_for_no_other_txn(std::unique_lock<std::mutex>& lock, int session);
  State& state_for(int session) { return owns_txn(session) ? working_ : committed_; }
  void end_txn();

  // What the sessions and enumerations call.
  wfp::Status add_provider(int session, const ProviderSpec& provider);
  wfp::Status add_sublayer(int session, const SublayerSpec& sublayer);
  wfp::Status begin(int session);
  wfp::Status commit(int session);
  wfp::Status abort(int session);
  wfp::Status add_filter(int session, const FilterSpec& filter);
  wfp::Status create_enum(int session, const wfp::Guid& provider, std::uint8_t layer,
                          std::unique_ptr<WfpFilterEnum>& out);
  wfp::Status delete_filter(int session, std::uint64_t id);
  wfp::Status delete_sublayer(int session, const wfp::Guid& key);
  wfp::Status delete_provider(int session, const wfp::Guid& key);
  void close_session(int session);
  wfp::Status enum_page(const std::vector<std::uint64_t>& snapshot, std::size_t& pos, std::uint32_t max,
                        std::vector<std::uint64_t>& ids, std::uint32_t& returned);
  void close_enum();
  std::optional<FilterSpec> committed_filter(std::uint64_t id) const;
  void step(const char* what);

  mutable std::mutex mutex_;
  std::condition_variable txn_ended_;
  State committed_;
  State working_;
  int txn_session_ = 0;  // 0: no transaction
  int next_session_ = 1;
  std::uint64_t next_filter_id_ = 70001;
  int open_sessions_ = 0;
  int open_enums_ = 0;
  std::optional<std::uint64_t> tunnel_luid_;
  std::map<FakeWfpCall, Failure> failures_;
  std::map<FakeWfpCall, int> calls_;
  std::function<void(const std::string&)> step_hook_;
};

}  // namespace velk::test
