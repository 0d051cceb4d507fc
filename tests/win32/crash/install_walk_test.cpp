// The installer cut short, for real: an upgrade of the installed helper under
// a session with the kill switch, with the installer's process ended by the
// filtering stand-in at one of its filtering calls (before its own removal of
// the kill switch, inside it, and after the swap with the new service running),
// then run again with the stage as it was left. It must end with the new
// version in service, whole, and nothing blocked.
//
// Counting: every process of the prefix shares the stand-in's count. The old
// service's emergency off makes the first transaction and adds the provider
// first; the installer's removal makes the second and adds it second and
// third; its confirmation after the swap adds it fourth. The watcher of a
// helper whose kill switch is off makes no filtering call.

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "helper_service.h"
#include "install_e2e.h"
#include "standin_view.h"

namespace velk::test {
namespace {

namespace fs = std::filesystem;

constexpr unsigned kEndedByStandin = 0xE0D;

struct InstallCut {
  const char* moment;
  const wchar_t* function;
  const wchar_t* nth;
  bool swapped;  // the old files were in .update-old when it ended
};

const InstallCut kInstallCuts[] = {
    {"before its kill-switch removal", L"FwpmProviderAdd0", L"2", false},
    {"inside its kill-switch removal", L"FwpmTransactionBegin0", L"2", false},
    {"after the swap, the new service running", L"FwpmProviderAdd0", L"4", true},
};

TEST_F(InstallE2e, AnUpgradeCutShortAtEachFilteringStepIsCompletedByTheNextRun) {
  ASSERT_NO_FATAL_FAILURE(install_shipped());
  int n = 0;
  for (const InstallCut& cut : kInstallCuts) {
    SCOPED_TRACE(cut.moment);
    const auto started = status_of(ask(start_line(true)));
    ASSERT_TRUE(started && started->kill_switch == KillSwitch::armed);
    Files next = shipped();
    next["readme.txt"] = "cut " + std::to_string(++n) + "\n";
    stage(next);
    ASSERT_EQ(standin_tool({L"end", cut.function, cut.nth}).exit_code, 0u);

    const ProcessResult cut_short = run({L"--install-from-stage", install_dir().wstring()});
    standin_tool({L"clear-failures"});
    // 3: a thread aborting while Wine ends the others first; still ended there.
    ASSERT_TRUE(cut_short.exit_code == kEndedByStandin || cut_short.exit_code == 3u)
        << "not ended there (exit " << cut_short.exit_code << "): " << cut_short.out;
    EXPECT_EQ(fs::exists(install_dir() / L".update-old"), cut.swapped);
    EXPECT_EQ(fs::exists(install_dir() / L".update-swap.pending"), cut.swapped) << "the swap is marked as begun";

    const ProcessResult again = run({L"--install-from-stage", install_dir().wstring()});
    std::printf("%-42s next run: exit %u\n", cut.moment, again.exit_code);
    EXPECT_EQ(again.exit_code, 0u) << again.out;
    EXPECT_EQ(files_in(install_dir()), digests(next));
    EXPECT_FALSE(fs::exists(install_dir() / L".update-old"));
    EXPECT_FALSE(fs::exists(install_dir() / L".update-swap.pending"));
    const std::optional<Status> s = status();
    ASSERT_TRUE(s);
    EXPECT_EQ(s->version, "0.1.8");
    EXPECT_EQ(s->kill_switch, KillSwitch::off);
    const std::optional<FilterView> view = view_filters();
    ASSERT_TRUE(view);
    EXPECT_EQ(view->filters, 0u) << describe(*view);
    EXPECT_FALSE(fs::exists(state_dir() / L"killswitch.json"));
  }
}

}  // namespace
}  // namespace velk::test
