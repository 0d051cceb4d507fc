// The supervisor's status sees a state file that another process writes or
// removes at its very next request, however many connections ask at the same
// time: whatever makes the status path cheaper must keep this.

#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <thread>
#include <vector>

#include "fake_engine_world.h"
#include "supervisor/supervisor.h"

namespace velk {
namespace {

using test::FakeEngineWorld;
using test::kOwner;

// Connections hammer the status while the test, as another process, writes
// and removes killswitch.json; its own next status must show each change.
TEST(SupervisorStatus, AStateFileWrittenOrRemovedElsewhereShowsInTheNextStatusUnderLoad) {
  FakeEngineWorld world;
  std::ofstream(world.state_file()) << R"({"version":1,"pins":{},"owner":null})";
  world.filters.fail_install(true);  // loaded, not restored: only the file says it is on
  Supervisor& sup = world.build();
  std::atomic<bool> stop{false};
  std::vector<std::thread> connections;
  for (int i = 0; i < 4; ++i) {
    connections.emplace_back([&] {
      while (!stop) (void)sup.status_for(kOwner);
    });
  }
  for (int round = 0; round < 50; ++round) {
    std::ofstream(world.state_file()) << R"({"version":1,"pins":{},"owner":null})";
    const Status written = sup.status_for(kOwner);
    EXPECT_EQ(written.kill_switch, KillSwitch::armed) << "round " << round;
    EXPECT_TRUE(written.wanted);
    std::filesystem::remove(world.state_file());
    const Status removed = sup.status_for(kOwner);
    EXPECT_EQ(removed.kill_switch, KillSwitch::off) << "round " << round;
    EXPECT_FALSE(removed.wanted);
  }
  stop = true;
  for (auto& t : connections) t.join();
}

}  // namespace
}  // namespace velk
