// Failures armed from another process with `fwp-standin fail` hit the chosen call.

#include "standin_support.h"

namespace velk::test {
namespace {

using nlohmann::json;
using namespace fwp_standin;

class FailureInjection : public StandinTest {
 protected:
  static void arm(const std::vector<std::wstring>& args) {
    std::vector<std::wstring> full = {L"fail"};
    full.insert(full.end(), args.begin(), args.end());
    ProcessResult r = run_tool(full);
    ASSERT_EQ(r.exit_code, 0u) << r.err;
  }
};

TEST_F(FailureInjection, TheNthCallFailsOnceWithTheChosenError) {
  Engine e;
  ASSERT_NO_FATAL_FAILURE(add_test_provider_and_sublayer(e.get()));
  ASSERT_NO_FATAL_FAILURE(arm({L"FwpmFilterAdd0", L"2", L"0x80320035"}));
  json armed = dump()["failures"];
  ASSERT_EQ(armed.size(), 1u);
  EXPECT_EQ(armed[0], (json{{"function", "FwpmFilterAdd0"}, {"skip", 1}, {"error", 0x80320035u}, {"times", 1}}));

  EXPECT_EQ(add_block(e.get(), 0), 0u);
  EXPECT_EQ(add_block(e.get(), 0), 0x80320035u);
  EXPECT_EQ(add_block(e.get(), 0), 0u);
  json d = dump();
  EXPECT_EQ(d["failures"], json::array());
  EXPECT_EQ(d["filters"].size(), 2u) << "the failed call added nothing";
}

TEST_F(FailureInjection, TimesZeroFailsEveryCallUntilCleared) {
  ASSERT_NO_FATAL_FAILURE(arm({L"FwpmEngineOpen0", L"1", L"1753", L"0"}));
  EXPECT_EQ(Engine().open_result(), 1753u);
  EXPECT_EQ(Engine().open_result(), 1753u);
  ASSERT_EQ(run_tool({L"clear-failures"}).exit_code, 0u);
  EXPECT_EQ(Engine().open_result(), 0u);
}

TEST_F(FailureInjection, TheDefaultIsTheNextCallWithAGeneralFailure) {
  Engine e;
  ASSERT_NO_FATAL_FAILURE(arm({L"FwpmGetAppIdFromFileName0"}));
  FWP_BYTE_BLOB* blob = nullptr;
  wchar_t self[MAX_PATH * 2];
  GetModuleFileNameW(nullptr, self, MAX_PATH * 2);
  EXPECT_EQ(FwpmGetAppIdFromFileName0(self, &blob), kGenFailure);
  EXPECT_EQ(blob, nullptr);
  EXPECT_EQ(FwpmGetAppIdFromFileName0(self, &blob), 0u);
  FwpmFreeMemory0(reinterpret_cast<void**>(&blob));
}

TEST_F(FailureInjection, AFailedCommitPublishesNothingAndEndsTheTransaction) {
  Engine e;
  ASSERT_NO_FATAL_FAILURE(add_test_provider_and_sublayer(e.get()));
  UINT64 old_id = 0;
  ASSERT_EQ(add_block(e.get(), 0, &old_id), 0u);
  ASSERT_NO_FATAL_FAILURE(arm({L"FwpmTransactionCommit0"}));

  ASSERT_EQ(FwpmTransactionBegin0(e.get(), 0), 0u);
  ASSERT_EQ(FwpmFilterDeleteById0(e.get(), old_id), 0u);
  ASSERT_EQ(add_block(e.get(), 1), 0u);
  EXPECT_EQ(FwpmTransactionCommit0(e.get()), kGenFailure);
  EXPECT_EQ(FwpmTransactionAbort0(e.get()), hr(FWP_E_NO_TXN_IN_PROGRESS));

  json d = dump();
  ASSERT_EQ(d["filters"].size(), 1u);
  EXPECT_EQ(d["filters"][0]["id"], old_id);
  EXPECT_EQ(d["transaction"], nullptr);
  EXPECT_EQ(FwpmTransactionBegin0(e.get(), 0), 0u) << "the engine is free again";
  EXPECT_EQ(FwpmTransactionAbort0(e.get()), 0u);
}

TEST_F(FailureInjection, AFailureInsideATransactionLeavesItOpenForTheCallerToAbort) {
  Engine e;
  ASSERT_NO_FATAL_FAILURE(add_test_provider_and_sublayer(e.get()));
  ASSERT_NO_FATAL_FAILURE(arm({L"FwpmFilterEnum0", L"1", L"0x80320012"}));
  ASSERT_EQ(FwpmTransactionBegin0(e.get(), 0), 0u);
  ASSERT_EQ(add_block(e.get(), 0), 0u);
  EXPECT_EQ(list_filters(e.get(), &kTestProvider, kLayers[0]).result, hr(FWP_E_TIMEOUT));
  EXPECT_EQ(list_filters(e.get(), &kTestProvider, kLayers[0]).ids.size(), 1u);
  EXPECT_EQ(FwpmTransactionAbort0(e.get()), 0u);
  EXPECT_EQ(dump()["filters"], json::array());
}

TEST_F(FailureInjection, TheToolRefusesWhatCannotFail) {
  EXPECT_EQ(run_tool({L"fail", L"FwpmFreeMemory0"}).exit_code, 2u);
  EXPECT_EQ(run_tool({L"fail", L"FwpmFilterAdd1"}).exit_code, 2u);
  EXPECT_EQ(run_tool({L"fail", L"FwpmFilterAdd0", L"0"}).exit_code, 2u);
  EXPECT_EQ(run_tool({L"fail", L"FwpmFilterAdd0", L"1", L"0"}).exit_code, 2u);
  EXPECT_EQ(run_tool({L"fail", L"FwpmFilterAdd0", L"x"}).exit_code, 2u);
  EXPECT_EQ(dump()["failures"], json::array());
}

}  // namespace
}  // namespace velk::test
