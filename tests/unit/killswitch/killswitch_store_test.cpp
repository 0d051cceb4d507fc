#include "killswitch/killswitch_store.h"

#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <sstream>
#include <thread>

#include "fake_filter_ops.h"
#include "temp_dir.h"

namespace velk {
namespace {

using test::FakeFilterOps;
using Call = FakeFilterOps::Call;

IpAddress ip(const char* text) { return IpAddress::parse(text).value(); }
Pin pin(const char* text, std::uint16_t port) { return Pin{ip(text), port}; }

void write_text(const std::filesystem::path& p, const std::string& text) {
  std::ofstream(p, std::ios::binary) << text;
}

std::string read_text(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

class StoreTest : public ::testing::Test {
 protected:
  std::filesystem::path dir() const { return tmp_.path() / "VELK VPN"; }
  std::filesystem::path file() const { return dir() / "killswitch.json"; }
  std::filesystem::path intent() const { return dir() / "killswitch.disarm"; }
  void save(const std::string& text) {
    std::filesystem::create_directories(dir());
    write_text(file(), text);
  }

  test::TempDir tmp_;
  FakeFilterOps filters_;
};

TEST_F(StoreTest, OffAtFirstStart) {
  auto store = KillSwitchStore::load(dir(), filters_);
  EXPECT_FALSE(store.armed_in_memory());
  EXPECT_FALSE(store.state_file_exists());
  EXPECT_FALSE(store.saved_state());
  EXPECT_FALSE(store.saved_address("vpn.example"));
  EXPECT_TRUE(filters_.calls().empty());
}

TEST_F(StoreTest, ArmWritesTheFileInstallsAndChecksThenRemembers) {
  auto store = KillSwitchStore::load(dir(), filters_);
  std::vector<Pin> pins{pin("10.0.0.1", 443), pin("2001:db8::1", 8443)};
  ASSERT_TRUE(store.arm("S-1-5-21-7", {{"vpn.example", ip("10.0.0.1")}, {"v6.example", ip("2001:DB8::1")}}, pins));

  EXPECT_EQ(read_text(file()),
            R"({"version":1,"pins":{"v6.example":"2001:db8::1","vpn.example":"10.0.0.1"},"owner":"S-1-5-21-7"})");
  EXPECT_FALSE(std::filesystem::exists(dir() / "killswitch.tmp"));
  EXPECT_EQ(filters_.calls(), (std::vector<Call>{Call::install, Call::intact}));
  EXPECT_EQ(filters_.installed(), pins);
  EXPECT_TRUE(store.armed_in_memory());
  EXPECT_EQ(store.armed_pins(), pins);
  EXPECT_EQ(store.saved_state()->owner, "S-1-5-21-7");
  EXPECT_EQ(store.saved_address("vpn.example"), ip("10.0.0.1"));
  EXPECT_FALSE(store.saved_address("VPN.example"));  // exact match only

  // A later process finds the same state.
  auto again = KillSwitchStore::load(dir(), filters_);
  EXPECT_EQ(again.saved_state(), store.saved_state());
  EXPECT_FALSE(again.armed_in_memory());  // file only until restored
  EXPECT_TRUE(again.state_file_exists());
}

TEST_F(StoreTest, RestoreInstallsWithoutPinsAndArmsInMemory) {
  save(R"({"version":1,"pins":{"vpn.example":"10.0.0.1"},"owner":"S-1-5-21-7"})");
  auto store = KillSwitchStore::load(dir(), filters_);
  EXPECT_TRUE(filters_.calls().empty());  // loading installs nothing
  EXPECT_TRUE(store.state_file_exists());
  EXPECT_FALSE(store.armed_in_memory());

  ASSERT_TRUE(store.restore_kill_switch());
  EXPECT_EQ(filters_.installed(), std::vector<Pin>{});  // the saved pins are not installed
  EXPECT_EQ(store.armed_pins(), std::vector<Pin>{});
  EXPECT_EQ(store.saved_address("vpn.example"), ip("10.0.0.1"));
  EXPECT_EQ(store.saved_state()->owner, "S-1-5-21-7");
}

TEST_F(StoreTest, FailedRestoreLeavesTheFileOnlyState) {
  save(R"({"version":1,"pins":{}})");
  auto store = KillSwitchStore::load(dir(), filters_);
  filters_.fail_install(true);
  auto r = store.restore_kill_switch();
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error(), "killswitch_failed");
  EXPECT_FALSE(store.armed_in_memory());
  EXPECT_TRUE(store.state_file_exists());
}

TEST_F(StoreTest, UnreadableFileStillCountsAsEngagedWithNoOwner) {
  const char* bad[] = {
      "not json at all",
      R"({"version":1,"pins":{"vpn.example":"10.0.0.1"},"owner":"S-1-5-21-7","extra":1})",
      R"({"version":1,"pins":{},"owner":"S-1-5-21-7","owner":"S-1-5-21-8"})",
      R"({"version":1,"pins":{},"owner":"S-1-5-21-7"}garbage)",
      "",
  };
  for (const char* text : bad) {
    SCOPED_TRACE(text);
    save(text);
    FakeFilterOps filters;
    auto store = KillSwitchStore::load(dir(), filters);
    EXPECT_FALSE(store.saved_state());
    EXPECT_FALSE(store.saved_address("vpn.example"));
    EXPECT_TRUE(store.state_file_exists());
    ASSERT_TRUE(store.restore_kill_switch());
    EXPECT_TRUE(store.armed_in_memory());
    EXPECT_EQ(read_text(file()), text);  // left untouched
  }
}

TEST_F(StoreTest, FailedFirstArmingLeavesNoFile) {
  auto store = KillSwitchStore::load(dir(), filters_);
  filters_.fail_install(true);
  auto r = store.arm("S-1-5-21-7", {{"vpn.example", ip("10.0.0.1")}}, {pin("10.0.0.1", 443)});
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error(), "killswitch_failed");
  EXPECT_FALSE(store.state_file_exists());
  EXPECT_FALSE(store.armed_in_memory());
  EXPECT_FALSE(store.saved_state());
  EXPECT_FALSE(filters_.installed());
}

TEST_F(StoreTest, FirstArmingWhoseCheckFailsTakesItsFiltersAwayAgain) {
  auto store = KillSwitchStore::load(dir(), filters_);
  filters_.break_layers(true);
  auto r = store.arm("S-1-5-21-7", {}, {pin("10.0.0.1", 443)});
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error(), "killswitch_failed");
  EXPECT_FALSE(filters_.installed());  // no block left behind that nothing reports
  EXPECT_FALSE(store.state_file_exists());
  EXPECT_FALSE(store.armed_in_memory());
}

TEST_F(StoreTest, FirstArmingThatCannotBeUndoneKeepsTheFileSoTheBlockStaysVisible) {
  auto store = KillSwitchStore::load(dir(), filters_);
  filters_.break_layers(true);
  filters_.fail_remove(true);
  ASSERT_FALSE(store.arm("S-1-5-21-7", {}, {pin("10.0.0.1", 443)}));
  EXPECT_TRUE(filters_.installed());
  EXPECT_TRUE(store.state_file_exists());  // engaged: reported armed, removable by a stop
  EXPECT_FALSE(store.armed_in_memory());
}

TEST_F(StoreTest, FailedReArmingKeepsTheNewFileAndTheOldFilters) {
  auto store = KillSwitchStore::load(dir(), filters_);
  std::vector<Pin> old_pins{pin("10.0.0.1", 443)};
  ASSERT_TRUE(store.arm("S-1-5-21-7", {{"a.example", ip("10.0.0.1")}}, old_pins));

  filters_.fail_install(true);
  auto r = store.arm("S-1-5-21-7", {{"b.example", ip("10.0.0.2")}}, {pin("10.0.0.2", 443)});
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error(), "killswitch_failed");
  EXPECT_EQ(read_text(file()),
            R"({"version":1,"pins":{"a.example":"10.0.0.1","b.example":"10.0.0.2"},"owner":"S-1-5-21-7"})");
  EXPECT_EQ(filters_.installed(), old_pins);
  EXPECT_EQ(store.armed_pins(), old_pins);
  EXPECT_FALSE(store.saved_address("b.example"));  // memory keeps the last good state
}

TEST_F(StoreTest, FailedArmingOfARestoredSwitchKeepsItsFile) {
  save(R"({"version":1,"pins":{},"owner":"S-1-5-21-7"})");
  auto store = KillSwitchStore::load(dir(), filters_);  // file only: its restore failed or never ran
  filters_.fail_install(true);
  ASSERT_FALSE(store.arm("S-1-5-21-7", {}, {pin("10.0.0.1", 443)}));
  EXPECT_TRUE(store.state_file_exists());
}

TEST_F(StoreTest, WriteFailureChangesNothing) {
  auto store = KillSwitchStore::load(dir(), filters_);
  ASSERT_TRUE(store.arm("S-1-5-21-7", {{"a.example", ip("10.0.0.1")}}, {pin("10.0.0.1", 443)}));
  const std::string before = read_text(file());
  const auto calls_before = filters_.calls().size();

  std::filesystem::create_directories(dir() / "killswitch.tmp" / "blocker");  // the temporary file cannot be opened
  auto r = store.arm("S-1-5-21-7", {{"b.example", ip("10.0.0.2")}}, {pin("10.0.0.2", 443)});
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error(), "killswitch_state");
  EXPECT_EQ(filters_.calls().size(), calls_before);  // the filters were not touched
  EXPECT_EQ(read_text(file()), before);
  EXPECT_EQ(store.armed_pins(), std::vector<Pin>{pin("10.0.0.1", 443)});

  // A state directory that cannot be created.
  FakeFilterOps other;
  write_text(tmp_.path() / "plain-file", "x");
  auto nowhere = KillSwitchStore::load(tmp_.path() / "plain-file" / "sub", other);
  EXPECT_EQ(nowhere.arm("S-1-5-21-7", {}, {}).error(), "killswitch_state");
  EXPECT_TRUE(other.calls().empty());
}

TEST_F(StoreTest, ArmingTwiceKeepsTheLatestAddressPerHostAndOldHosts) {
  auto store = KillSwitchStore::load(dir(), filters_);
  ASSERT_TRUE(store.arm("S-1-5-21-7", {{"a.example", ip("10.0.0.1")}, {"b.example", ip("10.0.0.2")}},
                        {pin("10.0.0.1", 443), pin("10.0.0.2", 443)}));
  ASSERT_TRUE(store.arm("S-1-5-21-9", {{"a.example", ip("10.0.0.3")}, {"c.example", ip("10.0.0.4")},
                                       {"c.example", ip("10.0.0.5")}},
                        {pin("10.0.0.3", 443), pin("10.0.0.5", 443)}));
  const char* expected =
      R"({"version":1,"pins":{"a.example":"10.0.0.3","b.example":"10.0.0.2","c.example":"10.0.0.5"},)"
      R"("owner":"S-1-5-21-9"})";
  EXPECT_EQ(read_text(file()), expected);
  EXPECT_EQ(store.saved_address("b.example"), ip("10.0.0.2"));
  EXPECT_EQ(store.armed_pins(), (std::vector<Pin>{pin("10.0.0.3", 443), pin("10.0.0.5", 443)}));

  // The merge also starts from a state loaded from disk.
  FakeFilterOps later;
  auto reloaded = KillSwitchStore::load(dir(), later);
  ASSERT_TRUE(reloaded.arm("S-1-5-21-9", {{"d.example", ip("10.0.0.6")}}, {pin("10.0.0.6", 443)}));
  EXPECT_EQ(reloaded.saved_address("a.example"), ip("10.0.0.3"));
  EXPECT_EQ(reloaded.saved_address("d.example"), ip("10.0.0.6"));
}

TEST_F(StoreTest, WritesAreWholeAndOverwriteAStaleTemporaryFile) {
  std::filesystem::create_directories(dir());
  write_text(dir() / "killswitch.tmp", std::string(4096, 'x'));  // left by a crash
  save(R"({"version":1,"pins":{"old.example":"10.0.0.9"},"owner":"S-1-5-21-1"})");
  auto store = KillSwitchStore::load(dir(), filters_);

  ArmedState s;
  s.pins = {{"new.example", "10.0.0.1"}};
  s.owner = "S-1-5-21-2";
  ASSERT_TRUE(store.write_armed_state(s));
  EXPECT_EQ(read_text(file()), R"({"version":1,"pins":{"new.example":"10.0.0.1"},"owner":"S-1-5-21-2"})");
  EXPECT_FALSE(std::filesystem::exists(dir() / "killswitch.tmp"));

  // Once the file cannot be replaced, the old one stays complete.
  std::filesystem::remove(file());
  std::filesystem::create_directories(file() / "blocker");
  EXPECT_EQ(store.write_armed_state(s).error(), "killswitch_state");
  EXPECT_TRUE(std::filesystem::is_directory(file()));
}

TEST_F(StoreTest, WriteCreatesMissingParents) {
  auto deep = tmp_.path() / "a" / "b" / "VELK VPN";
  auto store = KillSwitchStore::load(deep, filters_);
  ASSERT_TRUE(store.write_armed_state(ArmedState{}));
  EXPECT_EQ(read_text(deep / "killswitch.json"), R"({"version":1,"pins":{},"owner":null})");
}

TEST_F(StoreTest, DisarmDeletesTheFileThenRemovesFiltersThenForgets) {
  auto store = KillSwitchStore::load(dir(), filters_);
  ASSERT_TRUE(store.arm("S-1-5-21-7", {{"a.example", ip("10.0.0.1")}}, {pin("10.0.0.1", 443)}));
  const std::string armed = read_text(file());
  bool file_seen_at_remove = true;
  std::string intent_at_remove;
  filters_.on_call([&](Call c) {
    if (c != Call::remove) return;
    file_seen_at_remove = std::filesystem::exists(file());
    intent_at_remove = read_text(intent());
  });
  ASSERT_TRUE(store.disarm_kill_switch());
  EXPECT_FALSE(file_seen_at_remove);
  EXPECT_EQ(intent_at_remove, armed);  // a crash here is finished by the next load
  EXPECT_FALSE(std::filesystem::exists(intent()));
  EXPECT_FALSE(filters_.installed());
  EXPECT_FALSE(store.state_file_exists());
  EXPECT_FALSE(store.armed_in_memory());
  EXPECT_FALSE(store.saved_state());
}

// Filters that cannot be removed keep the turn-off pending: the file is not
// put back, the intent stays, and nothing (this store, a later load, a boot)
// brings the block back from it; a later disarm completes it.
TEST_F(StoreTest, FailedDisarmStaysATurnOffUntilItCompletes) {
  auto store = KillSwitchStore::load(dir(), filters_);
  ASSERT_TRUE(store.arm("S-1-5-21-7", {{"a.example", ip("10.0.0.1")}}, {pin("10.0.0.1", 443)}));
  const std::string before = read_text(file());
  filters_.fail_remove(true);
  auto r = store.disarm_kill_switch();
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error(), "killswitch_failed");
  EXPECT_TRUE(filters_.installed());
  EXPECT_FALSE(std::filesystem::exists(file()));
  EXPECT_EQ(read_text(intent()), before);
  EXPECT_TRUE(store.off_pending());
  EXPECT_TRUE(store.engaged());
  EXPECT_FALSE(store.armed_in_memory());

  auto next = KillSwitchStore::load(dir(), filters_);  // a restart while the filters still cannot go
  EXPECT_TRUE(next.off_pending());
  EXPECT_FALSE(next.state_file_exists());
  EXPECT_EQ(next.saved_state()->owner, "S-1-5-21-7");
  EXPECT_TRUE(std::filesystem::exists(intent()));

  filters_.fail_remove(false);
  ASSERT_TRUE(store.disarm_kill_switch());
  EXPECT_FALSE(filters_.installed());
  EXPECT_FALSE(std::filesystem::exists(intent()));
  EXPECT_FALSE(store.engaged());
}

// A failed arming during a pending turn-off leaves it pending on disk too.
TEST_F(StoreTest, AFailedArmingKeepsAPendingTurnOffOnDisk) {
  auto store = KillSwitchStore::load(dir(), filters_);
  ASSERT_TRUE(store.arm("S-1-5-21-7", {}, {pin("10.0.0.1", 443)}));
  filters_.fail_remove(true);
  ASSERT_FALSE(store.disarm_kill_switch());
  filters_.fail_install(true);
  EXPECT_FALSE(store.arm("S-1-5-21-7", {}, {pin("10.0.0.2", 443)}));
  EXPECT_TRUE(std::filesystem::exists(intent()));
  EXPECT_EQ(KillSwitchStore::load(dir(), filters_).saved_state().value_or(ArmedState{}).owner, "S-1-5-21-7");
}

// Turning off never depends on the intent's name: something standing there
// that cannot be cleared, and the file is deleted instead.
TEST_F(StoreTest, DisarmAndRecoverLiftTheBlockWhenTheIntentCannotBeWritten) {
  for (bool recover : {false, true}) {
    SCOPED_TRACE(recover ? "--recover" : "disarm");
    std::filesystem::remove_all(dir());
    auto store = KillSwitchStore::load(dir(), filters_);
    ASSERT_TRUE(store.arm("S-1-5-21-7", {}, {pin("10.0.0.1", 443)}));
    std::filesystem::create_directories(intent() / "child");
    ASSERT_TRUE(recover ? recover_kill_switch(dir(), filters_) : store.disarm_kill_switch());
    EXPECT_FALSE(filters_.installed());
    EXPECT_FALSE(std::filesystem::exists(file()));
  }
}

// A turn-off cut short by a crash or a power cut, as the next load finds it:
// completed, or, with filters that cannot go, left pending; never a block again.
TEST_F(StoreTest, LoadCompletesATurnOffCutShortAndNeverRestoresFromIt) {
  const std::string doc = R"({"version":1,"pins":{},"owner":"S-1-5-21-7"})";
  const std::string other = R"({"version":1,"pins":{},"owner":"S-1-5-21-8"})";
  const struct {
    const char* name;
    std::optional<std::string> file;
    bool remove_fails;
    bool pending;
  } cases[] = {
      {"before the file was deleted", doc, false, false},
      {"after the file was deleted", std::nullopt, false, false},
      {"filters that cannot go: still a turn-off", std::nullopt, true, true},
      {"filters that cannot go: a file still there goes too", other, true, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove_all(dir());
    save(doc);
    std::filesystem::rename(file(), intent());
    if (c.file) write_text(file(), *c.file);
    FakeFilterOps filters;
    filters.preinstall({});
    filters.fail_remove(c.remove_fails);

    auto store = KillSwitchStore::load(dir(), filters);
    EXPECT_EQ(std::filesystem::exists(intent()), c.pending);
    EXPECT_EQ(filters.installed().has_value(), c.remove_fails);
    EXPECT_FALSE(store.state_file_exists());
    EXPECT_EQ(store.off_pending(), c.pending);
    EXPECT_EQ(store.engaged(), c.pending);
    EXPECT_FALSE(store.restore_owed());
  }
}

// Saved addresses are bounded, the current request's kept: an arming never
// writes what the reader refuses.
TEST_F(StoreTest, SavedHostsStayBoundedAndKeepTheCurrentRequestsOwn) {
  auto store = KillSwitchStore::load(dir(), filters_);
  for (int round = 0; round < 6; ++round) {
    std::vector<HostEntry> entries;
    for (int i = 0; i < 64; ++i) {
      entries.push_back({"h" + std::to_string(round) + "-" + std::to_string(i) + ".example",
                         ip(("10.1." + std::to_string(round) + "." + std::to_string(i + 1)).c_str())});
    }
    ASSERT_TRUE(store.arm("S-1-5-21-7", entries, {pin("10.0.0.1", 443)}));
  }
  const auto saved = armed_state_from_json(read_text(file()));
  ASSERT_TRUE(saved);
  EXPECT_EQ(saved->pins.size(), kMaxSavedHosts);
  for (int i = 0; i < 64; ++i) EXPECT_EQ(saved->pins.count("h5-" + std::to_string(i) + ".example"), 1u);
  EXPECT_EQ(saved->owner, "S-1-5-21-7");
}

TEST_F(StoreTest, ArmingDropsALeftoverIntentSoNoLoadUndoesIt) {
  auto store = KillSwitchStore::load(dir(), filters_);
  save("{}");
  std::filesystem::rename(file(), intent());  // left by a disarm whose end could not drop it
  ASSERT_TRUE(store.arm("S-1-5-21-7", {}, {pin("10.0.0.1", 443)}));
  EXPECT_FALSE(std::filesystem::exists(intent()));
  auto again = KillSwitchStore::load(dir(), filters_);
  EXPECT_TRUE(again.state_file_exists());
  EXPECT_EQ(filters_.installed(), std::vector<Pin>{pin("10.0.0.1", 443)});
}

// Names taken by something else than the helper's own file.
TEST_F(StoreTest, DirectoryAtTheStateFileNameIsNoStateFile) {
  std::filesystem::create_directories(file() / "child");
  filters_.preinstall({pin("10.0.0.1", 443)});
  auto store = KillSwitchStore::load(dir(), filters_);
  EXPECT_FALSE(store.state_file_exists());  // never reported armed for it
  ASSERT_TRUE(recover_kill_switch(dir(), filters_));  // nor does it keep the filters
  EXPECT_FALSE(filters_.installed());
}

TEST_F(StoreTest, EmptyDirectoriesAtEitherNameDoNotStopArming) {
  std::filesystem::create_directories(file());
  std::filesystem::create_directories(dir() / "killswitch.tmp");
  auto store = KillSwitchStore::load(dir(), filters_);
  ASSERT_TRUE(store.arm("S-1-5-21-7", {}, {pin("10.0.0.1", 443)}));
  EXPECT_TRUE(std::filesystem::is_regular_file(file()));
  EXPECT_TRUE(store.state_file_exists());
}

TEST_F(StoreTest, TemporaryFileFoundThereIsNotReused) {
  std::filesystem::create_directories(dir());
  const auto planted = dir() / "killswitch.tmp";
  write_text(planted, "planted");
  std::filesystem::create_hard_link(planted, tmp_.path() / "planter-view");  // the planter's own handle on it
  auto store = KillSwitchStore::load(dir(), filters_);
  ASSERT_TRUE(store.arm("S-1-5-21-7", {}, {pin("10.0.0.1", 443)}));
  EXPECT_EQ(read_text(tmp_.path() / "planter-view"), "planted");
  EXPECT_NE(read_text(file()), "planted");
}

TEST_F(StoreTest, FiltersOnlyAreLeftAloneUntilADisarm) {
  filters_.preinstall({pin("10.0.0.1", 443)});
  auto store = KillSwitchStore::load(dir(), filters_);
  EXPECT_FALSE(store.armed_in_memory());
  EXPECT_FALSE(store.state_file_exists());
  EXPECT_TRUE(filters_.calls().empty());
  ASSERT_TRUE(store.disarm_kill_switch());
  EXPECT_FALSE(filters_.installed());
}

TEST_F(StoreTest, SavedEntryThatIsNotAnAddressIsNoAddress) {
  save(R"({"version":1,"pins":{"a.example":"010.0.0.1","b.example":"127.0.0.1"}})");
  auto store = KillSwitchStore::load(dir(), filters_);
  EXPECT_FALSE(store.saved_address("a.example"));
  EXPECT_EQ(store.saved_address("b.example"), ip("127.0.0.1"));  // refusing it is the pins' business
}

TEST_F(StoreTest, RecoverDeletesTheFileBeforeTouchingTheFilters) {
  auto store = KillSwitchStore::load(dir(), filters_);
  ASSERT_TRUE(store.arm("S-1-5-21-7", {}, {pin("10.0.0.1", 443)}));
  bool file_seen_at_remove = true;
  filters_.on_call([&](Call c) {
    if (c == Call::remove) file_seen_at_remove = std::filesystem::exists(file());
  });
  ASSERT_TRUE(recover_kill_switch(dir(), filters_));
  EXPECT_FALSE(file_seen_at_remove);
  EXPECT_FALSE(filters_.installed());
  // The running store sees the file gone.
  EXPECT_FALSE(store.state_file_exists());
}

TEST_F(StoreTest, RecoverWithoutFileStillRemovesFilters) {
  FakeFilterOps clean;
  EXPECT_TRUE(recover_kill_switch(dir(), clean));  // neither file nor filters; not even the directory
  EXPECT_EQ(clean.calls(), std::vector<Call>{Call::remove});

  filters_.preinstall({pin("10.0.0.1", 443)});  // the file was deleted by hand
  ASSERT_TRUE(recover_kill_switch(dir(), filters_));
  EXPECT_FALSE(filters_.installed());

  filters_.fail_remove(true);
  EXPECT_EQ(recover_kill_switch(dir(), filters_).error(), "killswitch_failed");
}

TEST_F(StoreTest, RecoverThatCannotRemoveTheFiltersLeavesItsIntentForTheNextStart) {
  {
    auto store = KillSwitchStore::load(dir(), filters_);
    ASSERT_TRUE(store.arm("S-1-5-21-7", {}, {pin("10.0.0.1", 443)}));
  }
  filters_.fail_remove(true);
  EXPECT_EQ(recover_kill_switch(dir(), filters_).error(), "killswitch_failed");
  EXPECT_FALSE(std::filesystem::exists(file()));
  EXPECT_TRUE(std::filesystem::exists(intent()));
  filters_.fail_remove(false);
  auto next = KillSwitchStore::load(dir(), filters_);  // the service's next start
  EXPECT_FALSE(filters_.installed());
  EXPECT_FALSE(next.state_file_exists());
  EXPECT_FALSE(std::filesystem::exists(intent()));
}

TEST_F(StoreTest, ReadersRunWhileTheStateChanges) {
  auto store = KillSwitchStore::load(dir(), filters_);
  std::atomic<bool> done{false};
  std::thread reader([&] {
    while (!done) {
      (void)store.armed_in_memory();
      (void)store.armed_pins();
      (void)store.saved_address("a.example");
      (void)store.saved_state();
    }
  });
  for (int i = 0; i < 20; ++i) {
    ASSERT_TRUE(store.arm("S-1-5-21-7", {{"a.example", ip("10.0.0.1")}}, {pin("10.0.0.1", 443)}));
    ASSERT_TRUE(store.disarm_kill_switch());
  }
  done = true;
  reader.join();
  EXPECT_FALSE(store.armed_in_memory());
}

}  // namespace
}  // namespace velk
