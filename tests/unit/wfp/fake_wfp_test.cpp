// The in-memory engine other tests rely on behaves like the real one where it
// matters to the kill switch.

#include "fake_wfp.h"

#include <gtest/gtest.h>

#include <thread>

namespace velk {
namespace {

using test::FakeWfpCall;
using test::FakeWfpEngine;

FilterSpec block(std::uint8_t layer) {
  return *filter_spec(FilterRule{RuleKind::block_all, layer, 0, false, {}, 0}, {});
}

class FakeWfpTest : public ::testing::Test {
 protected:
  void SetUp() override {
    session = engine->open_session();
    ASSERT_TRUE(session);
    ASSERT_EQ(session->add_provider(kill_switch_provider()), wfp::kOk);
    ASSERT_EQ(session->add_sublayer(kill_switch_sublayer()), wfp::kOk);
  }

  std::shared_ptr<FakeWfpEngine> engine = FakeWfpEngine::create();
  std::unique_ptr<WfpSession> session;
};

TEST_F(FakeWfpTest, CommitPublishesAbortRestores) {
  ASSERT_EQ(session->begin_transaction(), wfp::kOk);
  ASSERT_EQ(session->add_filter(block(0)), wfp::kOk);
  EXPECT_EQ(engine->filter_count(), 0u) << "visible before commit";
  ASSERT_EQ(session->commit_transaction(), wfp::kOk);
  EXPECT_EQ(engine->filter_count(), 1u);

  const auto id = engine->filters()[0].id;
  ASSERT_EQ(session->begin_transaction(), wfp::kOk);
  ASSERT_EQ(session->delete_filter(id), wfp::kOk);
  ASSERT_EQ(session->add_filter(block(1)), wfp::kOk);
  ASSERT_EQ(session->abort_transaction(), wfp::kOk);
  ASSERT_EQ(engine->filters().size(), 1u);
  EXPECT_EQ(engine->filters()[0].id, id);
}

TEST_F(FakeWfpTest, TransactionRules) {
  EXPECT_EQ(session->add_filter(block(0)), wfp::kErrNoTxnInProgress);
  EXPECT_EQ(session->commit_transaction(), wfp::kErrNoTxnInProgress);
  EXPECT_EQ(session->abort_transaction(), wfp::kErrNoTxnInProgress);
  ASSERT_EQ(session->begin_transaction(), wfp::kOk);
  EXPECT_EQ(session->begin_transaction(), wfp::kErrTxnInProgress);
  ASSERT_EQ(session->add_filter(block(0)), wfp::kOk);
  session.reset();  // closing the session aborts its transaction
  EXPECT_FALSE(engine->transaction_open());
  EXPECT_EQ(engine->filter_count(), 0u);
}

TEST_F(FakeWfpTest, ObjectRules) {
  EXPECT_EQ(session->add_provider(kill_switch_provider()), wfp::kErrAlreadyExists);
  EXPECT_EQ(session->add_sublayer(kill_switch_sublayer()), wfp::kErrAlreadyExists);

  ASSERT_EQ(session->begin_transaction(), wfp::kOk);
  FilterSpec f = block(0);
  f.sublayer_key.data1 ^= 1;
  EXPECT_EQ(session->add_filter(f), wfp::kErrSublayerNotFound);
  f = block(0);
  f.provider_key.data1 ^= 1;
  EXPECT_EQ(session->add_filter(f), wfp::kErrProviderNotFound);
  f = block(4);
  EXPECT_EQ(session->add_filter(f), wfp::kErrLayerNotFound);
  // An IPv4 address on an IPv6 layer, a port of the wrong width.
  f = block(1);
  f.conditions = {{ConditionField::ip_remote_address, wfp::MatchType::equal, std::uint32_t{1}}};
  EXPECT_EQ(session->add_filter(f), wfp::kErrTypeMismatch);
  f = block(0);
  f.conditions = {{ConditionField::ip_local_port, wfp::MatchType::equal, std::uint32_t{68}}};
  EXPECT_EQ(session->add_filter(f), wfp::kErrTypeMismatch);
  f = block(0);
  f.flags = wfp::kFilterFlagPersistent | wfp::kFilterFlagBoottime;
  EXPECT_EQ(session->add_filter(f), wfp::kErrInvalidFlags);
  ASSERT_EQ(session->add_filter(block(0)), wfp::kOk);
  ASSERT_EQ(session->commit_transaction(), wfp::kOk);

  EXPECT_EQ(session->delete_sublayer(wfp::kSublayerKey), wfp::kErrInUse);
  EXPECT_EQ(session->delete_provider(wfp::kProviderKey), wfp::kErrInUse);
  engine->delete_all_filters();
  EXPECT_EQ(session->delete_provider(wfp::kProviderKey), wfp::kErrInUse) << "the sublayer still refers to it";
  EXPECT_EQ(session->delete_sublayer(wfp::kSublayerKey), wfp::kOk);
  EXPECT_EQ(session->delete_provider(wfp::kProviderKey), wfp::kOk);
  EXPECT_EQ(session->delete_provider(wfp::kProviderKey), wfp::kErrProviderNotFound);
  EXPECT_EQ(session->add_sublayer(kill_switch_sublayer()), wfp::kErrProviderNotFound);
}

TEST_F(FakeWfpTest, ASecondTransactionWaitsForTheFirst) {
  ASSERT_EQ(session->begin_transaction(), wfp::kOk);
  ASSERT_EQ(session->add_filter(block(0)), wfp::kOk);
  wfp::Status other = 1;
  std::size_t seen = 99;
  std::thread t([&] {
    auto s2 = engine->open_session();
    other = s2->begin_transaction();  // blocks until the first one ends
    std::unique_ptr<WfpFilterEnum> e;
    if (s2->create_filter_enum(wfp::kProviderKey, 0, e) == wfp::kOk) {
      std::vector<std::uint64_t> ids;
      std::uint32_t n = 0;
      e->next_page(256, ids, n);
      seen = ids.size();
    }
  });
  ASSERT_EQ(session->commit_transaction(), wfp::kOk);
  t.join();
  EXPECT_EQ(other, wfp::kOk);
  EXPECT_EQ(seen, 1u) << "the second transaction sees the first one's commit";
}

TEST_F(FakeWfpTest, FailureInjectionCountsCalls) {
  engine->fail(FakeWfpCall::add_filter, 2, 0x1234);
  ASSERT_EQ(session->begin_transaction(), wfp::kOk);
  EXPECT_EQ(session->add_filter(block(0)), wfp::kOk);
  EXPECT_EQ(session->add_filter(block(0)), 0x1234u);
  EXPECT_EQ(session->add_filter(block(0)), wfp::kOk);
  EXPECT_EQ(engine->calls(FakeWfpCall::add_filter), 3);

  engine->fail(FakeWfpCall::commit_transaction);
  EXPECT_NE(session->commit_transaction(), wfp::kOk);
  EXPECT_FALSE(engine->transaction_open()) << "a failed commit ends the transaction";
  EXPECT_EQ(engine->filter_count(), 0u);

  engine->fail_always(FakeWfpCall::open_session);
  EXPECT_EQ(engine->open_session(), nullptr);
  EXPECT_EQ(engine->open_session(), nullptr);
  engine->clear_failures();
  EXPECT_NE(engine->open_session(), nullptr);
}

TEST_F(FakeWfpTest, TunnelAndApplicationIds) {
  EXPECT_EQ(engine->interface_luid("velkvpn0"), std::nullopt);
  engine->set_tunnel_luid(7);
  EXPECT_EQ(engine->interface_luid("velkvpn0"), 7u);
  EXPECT_EQ(engine->interface_luid("lo"), std::nullopt);
  EXPECT_EQ(engine->app_id_from_file_name("C:/A/B.exe"), FakeWfpEngine::app_id_for("c:/a/b.exe"));
  EXPECT_NE(FakeWfpEngine::app_id_for("C:/A/B.exe"), FakeWfpEngine::app_id_for("C:/A/C.exe"));
}

}  // namespace
}  // namespace velk
