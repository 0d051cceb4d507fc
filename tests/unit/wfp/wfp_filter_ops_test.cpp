// The five filter operations against the in-memory engine.

#include "wfp/wfp_filter_ops.h"

#include <gtest/gtest.h>

#include <functional>
#include <set>

#include "fake_wfp.h"
#include "ipc/error_codes.h"

namespace velk {
namespace {

using test::FakeWfpCall;
using test::FakeWfpEngine;

constexpr std::uint64_t kLuid1 = 0x0006'0001'0000'0000;
constexpr std::uint64_t kLuid2 = 0x0006'0002'0000'0000;

Pin pin(const char* ip, std::uint16_t port) { return {*IpAddress::parse(ip), port}; }

const std::vector<Pin> kPinsA = {pin("10.1.2.3", 443)};
const std::vector<Pin> kPinsB = {pin("10.9.9.9", 443), pin("192.0.2.1", 8443), pin("2001:db8::7", 443)};

class WfpFilterOpsTest : public ::testing::Test {
 protected:
  void TearDown() override {
    // Every operation closes what it opened.
    EXPECT_EQ(engine->open_sessions(), 0);
    EXPECT_EQ(engine->open_enums(), 0);
    EXPECT_FALSE(engine->transaction_open());
  }

  std::set<std::uint64_t> ids() const {
    std::set<std::uint64_t> out;
    for (const auto& f : engine->filters()) out.insert(f.id);
    return out;
  }

  std::shared_ptr<FakeWfpEngine> engine = FakeWfpEngine::create();
  std::unique_ptr<FilterOps> ops = engine->make_filter_ops();
};

TEST_F(WfpFilterOpsTest, InstallAddsTheRuleListInOrderWithProviderAndSublayer) {
  engine->set_tunnel_luid(kLuid1);
  ASSERT_TRUE(ops->install_filters(kPinsB).ok());

  const ByteBlob app_id = FakeWfpEngine::app_id_for(test::fake_engine_path());
  std::vector<FilterSpec> expected;
  for (const FilterRule& r : build_rules(kPinsB, true)) expected.push_back(*filter_spec(r, {kLuid1, &app_id}));
  std::vector<FilterSpec> installed;
  for (const auto& f : engine->filters()) installed.push_back(f.spec);  // in id order, i.e. as added
  EXPECT_EQ(installed, expected);
  EXPECT_EQ(installed.size(), 25u);

  EXPECT_EQ(engine->provider(), kill_switch_provider());
  EXPECT_EQ(engine->sublayer(), kill_switch_sublayer());
  EXPECT_EQ(engine->installed_pins(), kPinsB);
  EXPECT_EQ(engine->installed_tunnel_luid(), kLuid1);
  EXPECT_TRUE(ops->filters_intact());
  EXPECT_FALSE(ops->tunnel_changed());
}

TEST_F(WfpFilterOpsTest, InstallWithoutPinsOrTunnelBlocksAllButTheLocalExceptions) {
  ASSERT_TRUE(ops->install_filters({}).ok());
  EXPECT_EQ(engine->filter_count(), 18u);
  EXPECT_EQ(engine->filter_count(kLayerConnectV4), 3u);
  EXPECT_EQ(engine->filter_count(kLayerConnectV6), 6u);
  EXPECT_EQ(engine->filter_count(kLayerAcceptV4), 3u);
  EXPECT_EQ(engine->filter_count(kLayerAcceptV6), 6u);
  EXPECT_TRUE(engine->installed_pins().empty());
  EXPECT_EQ(engine->installed_tunnel_luid(), std::nullopt);
}

TEST_F(WfpFilterOpsTest, InstallingTwiceLeavesExactlyOneSet) {
  ASSERT_TRUE(ops->install_filters(kPinsA).ok());
  const auto first = ids();
  engine->set_tunnel_luid(kLuid1);
  ASSERT_TRUE(ops->install_filters(kPinsB).ok());
  EXPECT_EQ(engine->filter_count(), 25u);
  for (std::uint64_t id : ids()) EXPECT_FALSE(first.contains(id)) << "filter of the first set left: " << id;
  EXPECT_EQ(engine->installed_pins(), kPinsB);
}

// Another program's filters are never touched.
TEST_F(WfpFilterOpsTest, OtherProvidersFiltersSurviveInstallAndRemove) {
  engine->add_foreign_filter(kLayerConnectV4);
  ASSERT_TRUE(ops->install_filters(kPinsA).ok());
  ASSERT_TRUE(ops->install_filters(kPinsA).ok());
  ASSERT_TRUE(ops->remove_filters().ok());
  ASSERT_EQ(engine->filters().size(), 1u);
  EXPECT_NE(engine->filters()[0].spec.provider_key, wfp::kProviderKey);
}

TEST_F(WfpFilterOpsTest, EnumerationPagesThroughLargeLayers) {
  ASSERT_TRUE(ops->install_filters({}).ok());
  engine->add_stray_filters(kLayerConnectV6, 600);  // 256 + 256 + 88 + the 6 of the set
  const int pages_before = engine->calls(FakeWfpCall::filter_enum_page);
  ASSERT_TRUE(ops->install_filters({}).ok());
  EXPECT_EQ(engine->filter_count(), 18u);
  EXPECT_EQ(engine->calls(FakeWfpCall::filter_enum_page) - pages_before, 3 + 3);  // layer 1: 3, others: 1

  // A layer of exactly one full page needs one more, empty, page.
  engine->add_stray_filters(kLayerAcceptV4, 256 - 3);
  const int before = engine->calls(FakeWfpCall::filter_enum_page);
  EXPECT_TRUE(ops->filters_intact());
  EXPECT_EQ(engine->calls(FakeWfpCall::filter_enum_page) - before, 1 + 1 + 2 + 1);
}

// The core guarantee: a failure at any step leaves the previous set exactly as
// it was, and the tunnel record as well.
TEST_F(WfpFilterOpsTest, AFailureAtAnyStepLeavesThePreviousSetExactly) {
  struct Step {
    FakeWfpCall call;
    int failing_calls;  // how many calls of that kind an install makes
    bool in_transaction;
  };
  // The previous set: 12 + 1 + 10 = 23 filters; the new one: 12 + 3 + 10 = 25.
  const Step steps[] = {
      {FakeWfpCall::open_session, 1, false},      {FakeWfpCall::add_provider, 1, false},
      {FakeWfpCall::add_sublayer, 1, false},      {FakeWfpCall::app_id_from_file_name, 1, true},
      {FakeWfpCall::begin_transaction, 1, false}, {FakeWfpCall::create_filter_enum, 4, true},
      {FakeWfpCall::filter_enum_page, 4, true},   {FakeWfpCall::delete_filter, 23, true},
      {FakeWfpCall::add_filter, 25, true},        {FakeWfpCall::commit_transaction, 1, true},
  };
  for (const Step& step : steps) {
    int failed = 0;
    for (int nth = 1;; ++nth) {
      auto machine = FakeWfpEngine::create();
      auto helper = machine->make_filter_ops();
      machine->set_tunnel_luid(kLuid1);
      ASSERT_TRUE(helper->install_filters(kPinsA).ok());
      const auto before = machine->filters();

      machine->set_tunnel_luid(kLuid2);
      machine->fail(step.call, nth);
      const Outcome r = helper->install_filters(kPinsB);
      if (r.ok()) break;  // fewer than nth calls: every position has been tried
      ++failed;
      EXPECT_EQ(r.error(), err::killswitch_failed);
      EXPECT_EQ(machine->filters(), before) << "call " << int(step.call) << " #" << nth;
      EXPECT_FALSE(machine->transaction_open());
      EXPECT_EQ(machine->open_sessions(), 0);
      EXPECT_EQ(machine->open_enums(), 0);
      // The transaction is aborted explicitly, not left to the session's close.
      EXPECT_EQ(machine->calls(FakeWfpCall::abort_transaction), step.in_transaction ? 1 : 0);
      machine->set_tunnel_luid(kLuid1);
      EXPECT_FALSE(helper->tunnel_changed()) << "the tunnel record changed on failure";
    }
    EXPECT_EQ(failed, step.failing_calls) << "call " << int(step.call);
  }
}

TEST_F(WfpFilterOpsTest, PinsWithoutApplicationIdFailAndKeepThePreviousSet) {
  auto recover = engine->make_filter_ops(std::nullopt);  // nothing published, as in --recover
  ASSERT_TRUE(recover->install_filters({}).ok());
  EXPECT_EQ(engine->calls(FakeWfpCall::app_id_from_file_name), 0);
  const auto before = engine->filters();
  const Outcome r = recover->install_filters(kPinsA);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error(), err::killswitch_failed);
  EXPECT_EQ(engine->filters(), before);
}

TEST_F(WfpFilterOpsTest, RemoveDeletesFiltersSublayerAndProvider) {
  engine->set_tunnel_luid(kLuid1);
  ASSERT_TRUE(ops->install_filters(kPinsA).ok());
  ASSERT_TRUE(ops->remove_filters().ok());
  EXPECT_EQ(engine->filter_count(), 0u);
  EXPECT_EQ(engine->provider(), std::nullopt);
  EXPECT_EQ(engine->sublayer(), std::nullopt);
  EXPECT_FALSE(ops->filters_intact());
  // The tunnel permit is gone, so the present tunnel counts as a change.
  EXPECT_TRUE(ops->tunnel_changed());
}

TEST_F(WfpFilterOpsTest, RemoveOnAnEmptyMachineSucceeds) {
  ASSERT_TRUE(ops->remove_filters().ok());
  EXPECT_EQ(engine->provider(), std::nullopt);
}

TEST_F(WfpFilterOpsTest, FailedRemoveLeavesFiltersSublayerAndProvider) {
  for (FakeWfpCall call : {FakeWfpCall::open_session, FakeWfpCall::add_sublayer, FakeWfpCall::begin_transaction,
                           FakeWfpCall::create_filter_enum, FakeWfpCall::filter_enum_page,
                           FakeWfpCall::delete_filter, FakeWfpCall::commit_transaction}) {
    for (int nth : {1, 3}) {
      auto machine = FakeWfpEngine::create();
      auto helper = machine->make_filter_ops();
      ASSERT_TRUE(helper->install_filters(kPinsA).ok());
      const auto before = machine->filters();
      machine->fail(call, nth);
      const Outcome r = helper->remove_filters();
      if (r.ok()) continue;  // the call is not made that often
      EXPECT_EQ(r.error(), err::killswitch_failed);
      EXPECT_EQ(machine->filters(), before) << int(call);
      EXPECT_TRUE(machine->provider().has_value());
      EXPECT_TRUE(machine->sublayer().has_value());
      EXPECT_TRUE(helper->filters_intact());
    }
  }
}

TEST_F(WfpFilterOpsTest, FiltersIntactAsksForOneFilterPerLayer) {
  EXPECT_FALSE(ops->filters_intact());
  EXPECT_EQ(engine->provider(), std::nullopt) << "filters_intact must not create the provider";

  ASSERT_TRUE(ops->install_filters({}).ok());
  EXPECT_TRUE(ops->filters_intact());

  // Someone deletes some filters of layer 1, not all: still intact.
  auto all = engine->filters();
  int deleted = 0;
  for (const auto& f : all) {
    if (f.spec.layer == kLayerConnectV6 && deleted < 5) deleted += engine->delete_filter_by_id(f.id);
  }
  ASSERT_EQ(engine->filter_count(kLayerConnectV6), 1u);
  EXPECT_TRUE(ops->filters_intact());

  for (std::uint8_t layer = 0; layer < kLayerCount; ++layer) {
    auto machine = FakeWfpEngine::create();
    auto helper = machine->make_filter_ops();
    ASSERT_TRUE(helper->install_filters({}).ok());
    machine->delete_filters_in_layer(layer);
    EXPECT_FALSE(helper->filters_intact()) << "layer " << int(layer);
  }
}

TEST_F(WfpFilterOpsTest, FiltersIntactIsFalseOnAnyError) {
  ASSERT_TRUE(ops->install_filters({}).ok());
  engine->fail(FakeWfpCall::open_session);
  EXPECT_FALSE(ops->filters_intact());
  for (FakeWfpCall call : {FakeWfpCall::create_filter_enum, FakeWfpCall::filter_enum_page}) {
    for (int nth : {1, 4}) {  // the first and the last layer
      engine->fail(call, nth);
      EXPECT_FALSE(ops->filters_intact()) << int(call) << " #" << nth;
    }
  }
  EXPECT_TRUE(ops->filters_intact());
}

TEST_F(WfpFilterOpsTest, ListFiltersOnAnEmptyMachineCreatesAndDeletesProviderAndSublayer) {
  const Result<bool> r = ops->list_filters();
  ASSERT_TRUE(r.ok());
  EXPECT_FALSE(*r);
  EXPECT_EQ(engine->calls(FakeWfpCall::add_provider), 1);
  EXPECT_EQ(engine->calls(FakeWfpCall::add_sublayer), 1);
  EXPECT_EQ(engine->provider(), std::nullopt);
  EXPECT_EQ(engine->sublayer(), std::nullopt);
}

TEST_F(WfpFilterOpsTest, ListFiltersReportsRemainingFiltersAndKeepsThem) {
  engine->add_stray_filters(kLayerAcceptV6, 1);
  const Result<bool> r = ops->list_filters();
  ASSERT_TRUE(r.ok());
  EXPECT_TRUE(*r);
  EXPECT_EQ(engine->filter_count(), 1u);
  EXPECT_TRUE(engine->provider().has_value());
  EXPECT_TRUE(engine->sublayer().has_value());
}

TEST_F(WfpFilterOpsTest, ListFiltersErrorsAreKillswitchFailed) {
  for (FakeWfpCall call : {FakeWfpCall::open_session, FakeWfpCall::add_provider, FakeWfpCall::create_filter_enum,
                           FakeWfpCall::filter_enum_page}) {
    engine->fail(call);
    const Result<bool> r = ops->list_filters();
    ASSERT_FALSE(r.ok()) << int(call);
    EXPECT_EQ(r.error(), err::killswitch_failed);
  }
}

TEST_F(WfpFilterOpsTest, TunnelChangedTruthTable) {
  struct Case {
    std::optional<std::uint64_t> at_install;  // tunnel when the filters were installed
    std::optional<std::uint64_t> now;
    bool changed;
  };
  const Case cases[] = {
      {std::nullopt, std::nullopt, false}, {std::nullopt, kLuid1, true}, {kLuid1, std::nullopt, true},
      {kLuid1, kLuid1, false},             {kLuid1, kLuid2, true},
  };
  for (const Case& c : cases) {
    auto machine = FakeWfpEngine::create();
    auto helper = machine->make_filter_ops();
    machine->set_tunnel_luid(c.at_install);
    ASSERT_TRUE(helper->install_filters({}).ok());
    machine->set_tunnel_luid(c.now);
    EXPECT_EQ(helper->tunnel_changed(), c.changed)
        << "installed with " << c.at_install.value_or(0) << ", now " << c.now.value_or(0);
  }
  // A process that never installed: changed exactly when the tunnel exists.
  auto fresh = engine->make_filter_ops();
  EXPECT_FALSE(fresh->tunnel_changed());
  engine->set_tunnel_luid(kLuid1);
  EXPECT_TRUE(fresh->tunnel_changed());
  engine->fail(FakeWfpCall::interface_luid);  // a failing look-up means "absent"
  EXPECT_FALSE(fresh->tunnel_changed());
}

// Two processes over one engine: the filters are shared, the tunnel records not.
TEST_F(WfpFilterOpsTest, AnotherProcessSeesAndRemovesTheFilters) {
  engine->set_tunnel_luid(kLuid1);
  ASSERT_TRUE(ops->install_filters(kPinsA).ok());
  auto installer = engine->make_filter_ops(std::nullopt);
  EXPECT_TRUE(installer->filters_intact());
  EXPECT_TRUE(installer->tunnel_changed());  // it never installed anything itself
  ASSERT_TRUE(installer->remove_filters().ok());
  EXPECT_FALSE(ops->filters_intact());
  EXPECT_FALSE(ops->tunnel_changed());
  const Result<bool> left = installer->list_filters();
  ASSERT_TRUE(left.ok());
  EXPECT_FALSE(*left);
}

TEST(EnginePathSlot, HoldsThePublishedPath) {
  EnginePathSlot slot;
  EXPECT_EQ(slot.get(), std::nullopt);
  slot.set(std::filesystem::path("C:/x/velkvpn-engine.exe"));
  EXPECT_EQ(slot.get(), std::filesystem::path("C:/x/velkvpn-engine.exe"));
  slot.set(std::nullopt);
  EXPECT_EQ(slot.get(), std::nullopt);

  ASSERT_EQ(published_engine_path(), std::nullopt);  // nothing publishes it in this process
  set_published_engine_path(std::filesystem::path("C:/y/velkvpn-engine.exe"));
  EXPECT_EQ(process_engine_path_slot().get(), std::filesystem::path("C:/y/velkvpn-engine.exe"));
  set_published_engine_path(std::nullopt);
}

// The default construction reads the process-wide slot and record.
TEST(WfpFilterOpsProcessWide, UsesThePublishedPathAndTheProcessTunnelRecord) {
  auto engine = FakeWfpEngine::create();
  WfpFilterOps ops(engine);
  ASSERT_FALSE(ops.install_filters(kPinsA).ok());  // nothing published
  set_published_engine_path(std::filesystem::path("C:/y/velkvpn-engine.exe"));
  engine->set_tunnel_luid(kLuid2);
  EXPECT_TRUE(ops.install_filters(kPinsA).ok());
  set_published_engine_path(std::nullopt);
  EXPECT_EQ(process_tunnel_record().get(), (TunnelState{true, kLuid2}));
  ASSERT_TRUE(ops.remove_filters().ok());
  EXPECT_FALSE(process_tunnel_record().get().present);
}

}  // namespace
}  // namespace velk
