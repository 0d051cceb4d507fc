// The shared existence check never answers with a look older than the
// question, and the supervisor's status sees a state file that another
// process writes or removes at its very next request, however many
// connections ask at the same time.

#include "supervisor/fresh_check.h"

#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <future>
#include <thread>
#include <vector>

#include "fake_engine_world.h"
#include "supervisor/supervisor.h"

namespace velk {
namespace {

using namespace std::chrono_literals;
using test::FakeEngineWorld;
using test::kOwner;

TEST(FreshCheck, AQuestionAskedDuringALookIsAnsweredByALookThatBeganAfterIt) {
  std::atomic<bool> file{false};
  std::atomic<int> looks{0};
  std::promise<void> first_look_began;
  std::promise<void> release_first_look;
  std::shared_future<void> released = release_first_look.get_future().share();
  FreshCheck check([&] {
    const bool seen = file.load();  // what the file system shows when the look begins
    if (looks.fetch_add(1) == 0) {
      first_look_began.set_value();
      released.wait();
    }
    return seen;
  });

  auto early = std::async(std::launch::async, [&] { return check(); });
  first_look_began.get_future().wait();
  file = true;  // another process writes the file while the first look runs
  auto late = std::async(std::launch::async, [&] { return check(); });
  std::this_thread::sleep_for(20ms);  // lets the late question arrive during the first look
  release_first_look.set_value();

  EXPECT_FALSE(early.get());
  EXPECT_TRUE(late.get());
  EXPECT_EQ(looks.load(), 2);
}

TEST(FreshCheck, EachQuestionAfterAChangeSeesIt) {
  bool file = false;
  FreshCheck check([&] { return file; });
  EXPECT_FALSE(check());
  file = true;
  EXPECT_TRUE(check());
  file = false;
  EXPECT_FALSE(check());
}

// Connections hammer the status while the test, as another process, writes
// and removes killswitch.json; its own next status must show each change.
TEST(SupervisorStatus, AStateFileWrittenOrRemovedElsewhereShowsInTheNextStatusUnderLoad) {
  FakeEngineWorld world;
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
