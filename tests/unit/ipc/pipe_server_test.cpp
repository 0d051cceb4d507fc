// The accept loop against a fake pipe host: the start order, the rule for the
// first instance, retries, and what a connection thread does.

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <new>
#include <memory>
#include <string>
#include <vector>

#include "ipc/pipe_server.h"

namespace velk {
namespace {

using namespace std::chrono_literals;

using Events = std::vector<std::string>;

class NullStream final : public ByteStream {
 public:
  std::size_t read(std::span<char>) override { return 0; }
  bool write_all(std::string_view) override { return true; }
};

class FakeClock final : public Clock {
 public:
  explicit FakeClock(Events& events) : events_(events) {}
  time_point now() override { return {}; }
  void sleep_for(duration d) override {
    events_.push_back("sleep " + std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(d).count()));
  }

 private:
  Events& events_;
};

struct InstanceScript {
  bool connects = true;
  std::optional<CallerIdentity> caller = CallerIdentity{"S-1-5-21-1-2-3-1001", false};
};

class FakeInstance final : public PipeInstance {
 public:
  FakeInstance(Events& events, InstanceScript script) : events_(events), script_(script) {}
  ~FakeInstance() override { events_.push_back("close"); }
  bool wait_for_client() override {
    events_.push_back(script_.connects ? "connected" : "connect failed");
    return script_.connects;
  }
  std::optional<CallerIdentity> identify_caller() override {
    events_.push_back("identify");
    return script_.caller;
  }
  ByteStream& stream() override { return stream_; }
  void flush_and_disconnect() override { events_.push_back("flush+disconnect"); }

 private:
  Events& events_;
  InstanceScript script_;
  NullStream stream_;
};

class FakeHost final : public PipeHost {
 public:
  explicit FakeHost(Events& events) : events_(events) {}
  bool descriptor_works = true;
  std::deque<bool> creations;  // false: that attempt fails; exhausted: attempts succeed
  std::deque<InstanceScript> scripts;
  std::vector<bool> first_flags;
  std::vector<std::function<void()>> threads;

  bool build_security_descriptor() override {
    events_.push_back("descriptor");
    return descriptor_works;
  }
  std::unique_ptr<PipeInstance> create_instance(bool first_instance) override {
    first_flags.push_back(first_instance);
    bool ok = true;
    if (!creations.empty()) {
      ok = creations.front();
      creations.pop_front();
    }
    events_.push_back(ok ? "created" : "create failed");
    if (!ok) return nullptr;
    InstanceScript script;
    if (!scripts.empty()) {
      script = scripts.front();
      scripts.pop_front();
    }
    return std::make_unique<FakeInstance>(events_, script);
  }
  bool start_thread(std::function<void()> body) override {
    if (threads_fail) {
      events_.push_back("no thread");
      return false;
    }
    events_.push_back("thread");
    threads.push_back(std::move(body));
    return true;
  }
  bool threads_fail = false;

 private:
  Events& events_;
};

struct PipeServerTest : ::testing::Test {
  Events events;
  FakeHost host{events};
  FakeClock clock{events};
  std::vector<CallerIdentity> served;
  ServerHooks hooks{
      [this] { events.push_back("supervisor"); },
      [this] { events.push_back("engine thread"); },
      [this] { events.push_back("watcher thread"); },
      [this](ByteStream&, const CallerIdentity& caller) {
        events.push_back("serve " + caller.sid);
        served.push_back(caller);
      },
  };
};

TEST_F(PipeServerTest, SupervisorAndThreadsComeBeforeTheDescriptor) {
  EXPECT_TRUE(start_pipe_server(host, hooks));
  EXPECT_EQ(events, (Events{"supervisor", "engine thread", "watcher thread", "descriptor"}));
}

TEST_F(PipeServerTest, NoDescriptorNoPipe) {
  host.descriptor_works = false;
  serve_pipe(host, clock, hooks);  // returns
  EXPECT_EQ(events, (Events{"supervisor", "engine thread", "watcher thread", "descriptor"}));
  EXPECT_TRUE(host.first_flags.empty());
}

TEST_F(PipeServerTest, FirstInstanceDemandedUntilOneIsCreated) {
  host.creations = {false, false, true, false, true};
  AcceptLoop loop(host, clock, hooks.serve_connection);
  for (int i = 0; i < 5; ++i) loop.accept_one();
  // The third round also makes the next instance, which fails and is made again in the fourth.
  EXPECT_EQ(host.first_flags, (std::vector<bool>{true, true, true, false, false, false, false}));
}

TEST_F(PipeServerTest, FailedCreationWaitsOneSecond) {
  host.creations = {false, false, true};
  AcceptLoop loop(host, clock, hooks.serve_connection);
  for (int i = 0; i < 3; ++i) loop.accept_one();
  EXPECT_EQ(events, (Events{"create failed", "sleep 1000", "create failed", "sleep 1000", "created", "connected",
                            "created", "identify", "thread"}));
}

TEST_F(PipeServerTest, NextInstanceExistsBeforeTheConnectedOneIsHandedOver) {
  AcceptLoop loop(host, clock, hooks.serve_connection);
  loop.accept_one();
  loop.accept_one();
  EXPECT_EQ(events, (Events{"created", "connected", "created", "identify", "thread", "connected", "created",
                            "identify", "thread"}));
  ASSERT_EQ(host.threads.size(), 2u);
  events.clear();
  host.threads[0]();
  EXPECT_EQ(events, (Events{"serve S-1-5-21-1-2-3-1001", "flush+disconnect", "close"}));
  ASSERT_EQ(served.size(), 1u);
  EXPECT_FALSE(served[0].elevated);
}

TEST_F(PipeServerTest, ConnectedInstanceKeepsTheNameWhileItsSuccessorCannotBeCreated) {
  host.creations = {true, false, true};
  AcceptLoop loop(host, clock, hooks.serve_connection);
  loop.accept_one();
  ASSERT_EQ(host.threads.size(), 1u);
  host.threads[0]();  // the client is gone: its instance stays open
  EXPECT_EQ(std::count(events.begin(), events.end(), "close"), 0);
  const std::size_t before = events.size();
  loop.accept_one();
  ASSERT_GT(events.size(), before + 1);
  EXPECT_EQ(events[before], "created");
  EXPECT_EQ(events[before + 1], "close") << "closed only once its successor exists";
  EXPECT_EQ(host.first_flags, (std::vector<bool>{true, false, false, false}));
}

TEST_F(PipeServerTest, UnknownCallerGetsNoAnswerAndNoThread) {
  host.scripts = {InstanceScript{true, std::nullopt}};
  AcceptLoop loop(host, clock, hooks.serve_connection);
  loop.accept_one();
  EXPECT_EQ(events, (Events{"created", "connected", "created", "identify", "flush+disconnect", "close"}));
  EXPECT_TRUE(host.threads.empty());
}

TEST_F(PipeServerTest, ACallerAtItsBoundIsClosedAtOnceWhileOthersAreServed) {
  const CallerIdentity first{"S-1-5-21-1-2-3-1001", false}, second{"S-1-5-21-1-2-3-1002", false};
  host.scripts = {{true, first}, {true, first}, {true, first}, {true, second}, {true, first}};
  AcceptLoop loop(host, clock, hooks.serve_connection, ConnectionLimits(2, 10));
  for (int i = 0; i < 4; ++i) loop.accept_one();
  ASSERT_EQ(host.threads.size(), 3u);  // first, first, second
  EXPECT_EQ(std::count(events.begin(), events.end(), "flush+disconnect"), 1);
  host.threads[0]();  // one of the first caller's connections ends
  loop.accept_one();
  EXPECT_EQ(host.threads.size(), 4u) << "admitted again below its bound";
  for (std::size_t i = 1; i < host.threads.size(); ++i) host.threads[i]();
  EXPECT_EQ(served, (std::vector<CallerIdentity>{first, first, second, first}));
}

TEST(ConnectionLimits, TotalBoundAndRelease) {
  ConnectionLimits limits(2, 3);
  auto a1 = limits.admit("a"), a2 = limits.admit("a"), b1 = limits.admit("b");
  EXPECT_TRUE(a1 && a2 && b1);
  EXPECT_EQ(limits.admit("c"), nullptr);  // the server is full
  b1.reset();
  EXPECT_EQ(limits.admit("a"), nullptr);  // "a" is at its own bound
  EXPECT_NE(limits.admit("c"), nullptr);
}

TEST_F(PipeServerTest, NoThreadClosesThatConnectionAndTheServerGoesOn) {
  host.threads_fail = true;
  AcceptLoop loop(host, clock, hooks.serve_connection, ConnectionLimits(1, 1));
  loop.accept_one();
  EXPECT_EQ(events, (Events{"created", "connected", "created", "identify", "no thread", "flush+disconnect", "close"}));
  host.threads_fail = false;
  loop.accept_one();  // the slot was given back
  EXPECT_EQ(host.threads.size(), 1u);
}

TEST_F(PipeServerTest, OutOfMemoryInAConnectionEndsOnlyThatConnection) {
  hooks.serve_connection = [](ByteStream&, const CallerIdentity&) { throw std::bad_alloc(); };
  AcceptLoop loop(host, clock, hooks.serve_connection);
  loop.accept_one();
  ASSERT_EQ(host.threads.size(), 1u);
  events.clear();
  host.threads[0]();
  EXPECT_EQ(events, (Events{"flush+disconnect", "close"}));
}

TEST_F(PipeServerTest, FailedConnectTriesAgainAtOnceAndClosesOnlyOnceReplaced) {
  // The failed instance keeps the name until its successor exists, even when
  // creating that successor fails for a while.
  host.scripts = {InstanceScript{false, std::nullopt}};
  host.creations = {true, false, true};
  AcceptLoop loop(host, clock, hooks.serve_connection);
  loop.accept_one();
  loop.accept_one();
  loop.accept_one();
  EXPECT_EQ(events, (Events{"created", "connect failed", "create failed", "sleep 1000", "created", "close",
                            "connected", "created", "identify", "thread"}));
  EXPECT_EQ(host.first_flags, (std::vector<bool>{true, false, false, false}));
}

TEST(PublishedSupervisor, FirstFillWins) {
  struct Thing {
    int id;
  };
  SharedSlot<Thing> slot;
  EXPECT_EQ(slot.get(), nullptr);
  EXPECT_FALSE(slot.fill(nullptr));
  EXPECT_TRUE(slot.fill(std::make_shared<Thing>(Thing{1})));
  EXPECT_FALSE(slot.fill(std::make_shared<Thing>(Thing{2})));
  ASSERT_NE(slot.get(), nullptr);
  EXPECT_EQ(slot.get()->id, 1);
  EXPECT_EQ(&published_supervisor<Thing>(), &published_supervisor<Thing>());
}

TEST(CallerIdentity, Elevation) {
  EXPECT_TRUE(caller_is_elevated("S-1-5-21-1-2-3-1001", 1u));
  EXPECT_TRUE(caller_is_elevated("S-1-5-21-1-2-3-1001", 0xFFFFFFFFu));
  EXPECT_FALSE(caller_is_elevated("S-1-5-21-1-2-3-500", 0u)) << "a filtered administrator token";
  EXPECT_FALSE(caller_is_elevated("S-1-5-21-1-2-3-1001", std::nullopt));
  EXPECT_TRUE(caller_is_elevated("S-1-5-18", std::nullopt)) << "LocalSystem without a readable elevation";
  EXPECT_TRUE(caller_is_elevated("S-1-5-18", 0u));
  EXPECT_FALSE(caller_is_elevated("S-1-5-180", std::nullopt));
  EXPECT_FALSE(caller_is_elevated("s-1-5-18", std::nullopt));
}

}  // namespace
}  // namespace velk
