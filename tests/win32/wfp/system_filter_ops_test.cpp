// The real filtering-engine and interface calls, run under Wine. Wine has no
// filtering engine (opening it fails), so there every operation must fail the
// safe way; with an engine present the operations make a full round trip.

#include <gtest/gtest.h>
#include <windows.h>

#include "ipc/error_codes.h"
#include "wfp/filter_ops.h"
#include "wfp/wfp_api_win32.h"
#include "temp_dir.h"

namespace velk {
namespace {

TEST(SystemWfpApi, InterfaceAliasesResolveToLuids) {
  const auto api = system_wfp_api();
  const auto lo = api->interface_luid("lo");  // Wine maps the host's interfaces
  ASSERT_TRUE(lo.has_value());
  EXPECT_NE(*lo, 0u);
  EXPECT_EQ(api->interface_luid("velkvpn-no-such-interface"), std::nullopt);
}

// Where the filtering-engine stand-in is present, it keeps its objects in a
// directory of this test's own, apart from the services of the other tests.
class SystemFilterOps : public ::testing::Test {
 protected:
  void SetUp() override { SetEnvironmentVariableW(L"VELK_FWP_STANDIN_DIR", dir_.path().c_str()); }
  void TearDown() override { SetEnvironmentVariableW(L"VELK_FWP_STANDIN_DIR", nullptr); }

 private:
  test::TempDir dir_;
};

TEST_F(SystemFilterOps, WithoutAnEngineEveryOperationFails) {
  if (system_wfp_api()->open_session() != nullptr) GTEST_SKIP() << "a filtering engine is present";
  const auto ops = system_filter_ops();
  const Outcome install = ops->install_filters({});
  ASSERT_FALSE(install.ok());
  EXPECT_EQ(install.error(), err::killswitch_failed);
  const Outcome remove = ops->remove_filters();
  ASSERT_FALSE(remove.ok());
  EXPECT_EQ(remove.error(), err::killswitch_failed);
  const Result<bool> list = ops->list_filters();
  ASSERT_FALSE(list.ok());
  EXPECT_EQ(list.error(), err::killswitch_failed);
  EXPECT_FALSE(ops->filters_intact());
}

TEST_F(SystemFilterOps, RoundTripWithAnEngine) {
  if (system_wfp_api()->open_session() == nullptr) GTEST_SKIP() << "no filtering engine (plain Wine)";
  const auto ops = system_filter_ops();
  ASSERT_TRUE(ops->install_filters({}).ok());
  EXPECT_TRUE(ops->filters_intact());
  ASSERT_TRUE(ops->install_filters({}).ok());
  const Result<bool> listed = ops->list_filters();
  ASSERT_TRUE(listed.ok());
  EXPECT_TRUE(*listed);
  ASSERT_TRUE(ops->remove_filters().ok());
  EXPECT_FALSE(ops->filters_intact());
  const Result<bool> after = ops->list_filters();
  ASSERT_TRUE(after.ok());
  EXPECT_FALSE(*after);
}

}  // namespace
}  // namespace velk
