// The accept loop against a fake pipe host: the start order, the rule for the
// first instance, retries, and what a connection thread does; an overlapped
// instance's I/O and bounded flush; reading the caller's token.

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <new>
#include <memory>
#include <string>
#include <vector>

#include "ipc/pipe_server.h"
#include "ipc/pipe_server_access.h"
#include "ipc/pipe_server_io.h"

namespace velk {
namespace {

using namespace std::chrono_literals;

using Events = std::vector<std::string>;

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

const std::string kUser = "S-1-5-21-1-2-3-1001";

// Like Windows, the fake pipe has no context for the client until a read has returned bytes.
struct InstanceScript {
  bool connects = true;
  std::string sent = "{\"cmd\":\"status\"}\n";
  Impersonation after_read = Impersonation::done;
  std::optional<TokenFacts> pipe_token = TokenFacts{kUser, 0u};     // the token the pipe names
  std::optional<TokenFacts> process_token = TokenFacts{kUser, 0u};  // the client process's own
};

class FakeInstance final : public PipeInstance, private ByteStream, private CallerTokenSteps {
 public:
  FakeInstance(Events& events, InstanceScript script) : events_(events), script_(script) {}
  ~FakeInstance() override { events_.push_back("close"); }
  bool wait_for_client() override {
    events_.push_back(script_.connects ? "connected" : "connect failed");
    return script_.connects;
  }
  std::optional<CallerIdentity> identify_client_process() override {
    events_.push_back("count");
    return velk::identify_client_process(*this);
  }
  std::optional<CallerIdentity> identify_caller() override {
    events_.push_back("identify");
    return identify_through_pipe(*this);
  }
  ByteStream& stream() override { return *this; }
  void flush_and_disconnect() override { events_.push_back("flush+disconnect"); }

 private:
  std::size_t read(std::span<char> buffer) override {
    const std::size_t n = script_.sent.copy(buffer.data(), buffer.size(), taken_);
    taken_ += n, context_ = context_ || n > 0;
    events_.push_back("read " + std::to_string(n));
    return n;
  }
  bool write_all(std::string_view) override { return true; }
  Impersonation impersonate_client() override { return context_ ? script_.after_read : Impersonation::no_context; }
  bool open_thread_token() override { return true; }
  bool revert_to_self() override { return true; }
  void stop_process() override {}
  std::optional<TokenFacts> read_token() override { return script_.pipe_token; }
  std::optional<TokenFacts> read_client_process_token() override { return script_.process_token; }

  Events& events_;
  InstanceScript script_;
  std::size_t taken_ = 0;
  bool context_ = false;
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
  std::vector<std::string> received;  // everything each served connection read
  ServerHooks hooks{
      [this] { events.push_back("supervisor"); },
      [this] { events.push_back("engine thread"); },
      [this] { events.push_back("watcher thread"); },
      [this](ByteStream& stream, const CallerIdentity& caller) {
        events.push_back("serve " + caller.sid);
        served.push_back(caller);
        char buffer[1000];
        received.emplace_back();
        for (std::size_t n; (n = stream.read(buffer)) > 0;) received.back().append(buffer, n);
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
                            "created", "count", "thread"}));
}

TEST_F(PipeServerTest, NextInstanceExistsBeforeTheConnectedOneIsHandedOver) {
  AcceptLoop loop(host, clock, hooks.serve_connection);
  loop.accept_one();
  loop.accept_one();
  EXPECT_EQ(events, (Events{"created", "connected", "created", "count", "thread", "connected", "created", "count",
                            "thread"}));
  ASSERT_EQ(host.threads.size(), 2u);
  events.clear();
  host.threads[0]();
  EXPECT_EQ(events, (Events{"read 17", "identify", "serve " + kUser, "read 0", "flush+disconnect", "close"}));
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

// The caller is named once the first bytes are read (before, the fake pipe
// would name the process, another account), and those bytes reach the handler.
TEST_F(PipeServerTest, TheCallerIsNamedAfterTheFirstReadAndBeforeItIsHandled) {
  const TokenFacts process{"S-1-5-21-1-2-3-2002", 0u};
  const std::string long_line = "{\"cmd\":\"status\",\"pad\":\"" + std::string(3 * kFirstReadBytes, 'x') + "\"}\n";
  const std::vector<CallerIdentity> user{{kUser, false}}, none;  // served, or closed without an answer
  struct Row {
    InstanceScript script;
    std::vector<CallerIdentity> served;
  } rows[] = {
      {{.sent = long_line, .process_token = process}, user},
      // Still no context after the read (dynamic tracking): the process names it.
      {{.after_read = Impersonation::no_context, .process_token = process}, {{process.sid, false}}},
      {{.after_read = Impersonation::no_context, .process_token = TokenFacts{"S-1-5-7", 0u}}, none},  // anonymous
  };
  for (const Row& row : rows) {
    served.clear(), received.clear(), host.threads.clear();
    host.scripts = {row.script};
    AcceptLoop loop(host, clock, hooks.serve_connection);
    loop.accept_one();
    ASSERT_EQ(host.threads.size(), 1u);
    host.threads[0]();
    EXPECT_EQ(served, row.served);
    EXPECT_EQ(received, row.served.empty() ? Events{} : Events{row.script.sent});
  }
}

// Connections count from the accept (by process), then by the caller the pipe names.
TEST_F(PipeServerTest, NoOrdinaryAccountCanLockOutAnElevatedCaller) {
  const TokenFacts a{kUser, 0u}, b{"S-1-5-21-1-2-3-1002", 0u}, admin{"S-1-5-21-1-2-3-500", 1u};
  auto client = [](TokenFacts process, std::optional<TokenFacts> named = std::nullopt) {
    return InstanceScript{.pipe_token = named.value_or(process), .process_token = process};
  };
  // 3 per account, 5 in all, 2 kept: a's 4th, the unreadable one and the last are refused.
  host.scripts = {client(a), client(a),     client(a),        client(a),
                  client(b), client(admin), client(admin, b), client(admin)};
  host.scripts[4].process_token = std::nullopt;
  AcceptLoop loop(host, clock, hooks.serve_connection, ConnectionLimits(3, 5, 2));
  for (int i = 0; i < 8; ++i) loop.accept_one();
  EXPECT_EQ(host.threads.size(), 5u);
  // The last first, while the others hold their slots: an elevated process, an ordinary caller.
  std::for_each(host.threads.rbegin(), host.threads.rend(), [](auto& thread) { thread(); });
  EXPECT_EQ(served, (std::vector<CallerIdentity>{{admin.sid, true}, {kUser, false}, {kUser, false}, {kUser, false}}));
}

TEST_F(PipeServerTest, NoThreadClosesThatConnectionAndTheServerGoesOn) {
  host.threads_fail = true;
  AcceptLoop loop(host, clock, hooks.serve_connection, ConnectionLimits(1, 1, 0));
  loop.accept_one();
  EXPECT_EQ(events, (Events{"created", "connected", "created", "count", "no thread", "flush+disconnect", "close"}));
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
  EXPECT_EQ(events, (Events{"read 17", "identify", "flush+disconnect", "close"}));
}

TEST_F(PipeServerTest, FailedConnectTriesAgainAtOnceAndClosesOnlyOnceReplaced) {
  // The failed instance keeps the name until its successor exists, even when
  // creating that successor fails for a while.
  host.scripts = {InstanceScript{.connects = false}};
  host.creations = {true, false, true};
  AcceptLoop loop(host, clock, hooks.serve_connection);
  loop.accept_one();
  loop.accept_one();
  loop.accept_one();
  EXPECT_EQ(events, (Events{"created", "connect failed", "create failed", "sleep 1000", "created", "close",
                            "connected", "created", "count", "thread"}));
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

// The thread takes on the client's identity only to open its token.
struct FakeTokenSteps final : CallerTokenSteps {
  Impersonation impersonation = Impersonation::done;
  bool opens = true, reverts = true;
  std::optional<TokenFacts> facts = TokenFacts{"S-1-5-21-1-2-3-1001", 0u};
  Events events;
  bool note(const char* what, bool ok) {
    events.push_back(std::string(what) + (ok ? "" : " failed"));
    return ok;
  }
  Impersonation impersonate_client() override {
    return note("impersonate", impersonation == Impersonation::done), impersonation;
  }
  bool open_thread_token() override { return note("open token", opens); }
  bool revert_to_self() override { return note("revert", reverts); }
  std::optional<TokenFacts> read_token() override { return note("read", true) ? facts : std::nullopt; }
  std::optional<TokenFacts> read_client_process_token() override { return std::nullopt; }
  void stop_process() override { events.push_back("stop process"); }
};

TEST(IdentifyThroughPipe, TheThreadIsItselfAgainBeforeTheTokenIsReadAndOnEveryFailure) {
  const Events all{"impersonate", "open token", "revert", "read"};
  const CallerIdentity user{"S-1-5-21-1-2-3-1001", false}, system{"S-1-5-18", true};
  struct Row {
    std::function<void(FakeTokenSteps&)> script;
    Events steps;
    std::optional<CallerIdentity> identity;
  } rows[] = {
      {[](auto&) {}, all, user},
      {[](auto& s) { s.facts = TokenFacts{"S-1-5-18", std::nullopt}; }, all, system},
      {[](auto& s) { s.facts = std::nullopt; }, all, std::nullopt},
      {[](auto& s) { s.impersonation = Impersonation::failed; }, {"impersonate failed", "revert"}, std::nullopt},
      // An anonymous client is impersonated, but its token cannot be opened: no process look-up.
      {[](auto& s) { s.opens = false; }, {"impersonate", "open token failed", "revert"}, std::nullopt},
      // Still the client: the process must not go on, and nobody is served.
      {[](auto& s) { s.reverts = false; }, {"impersonate", "open token", "revert failed", "stop process"}, {}},
  };
  for (const Row& row : rows) {
    FakeTokenSteps steps;
    row.script(steps);
    EXPECT_EQ(identify_through_pipe(steps), row.identity) << ::testing::PrintToString(row.steps);
    EXPECT_EQ(steps.events, row.steps);
  }
}

// An overlapped instance and its timer. The flush stays pending until a
// cancel reaches it while it is pending; each round of its wait is a tick of
// the timer, as time passes. So does a write the client has no room for.
struct FakeOverlapped final : OverlappedPipe, Alarm {
  Events events;
  bool client_reads = false, thread_is_late = false, timer_works = true, flushing = false, writing = false;
  std::size_t room = 0;  // bytes the client takes before it stops reading
  Clock::duration first{}, every{};
  std::function<void()> tick;
  int ticks = 0;

  bool start_read(std::span<char>) override { return false; }
  Start start_write(std::string_view bytes) override {
    events.push_back("write " + std::to_string(bytes.size()));
    flushing = writing = bytes.size() > room;
    return writing ? Start::pending : (room -= bytes.size(), Start::done);
  }
  std::optional<std::size_t> finish() override {
    for (int round = 0; flushing && round < 50; ++round) fire();  // at most 5 s
    return writing ? std::nullopt : std::optional<std::size_t>(kWritePart);
  }
  void flush() override {
    if (thread_is_late) fire();  // the bound passed before the flush was issued
    events.push_back("flush");
    flushing = !client_reads;
    for (int round = 0; flushing && round < 50; ++round) fire();  // at most 5 s
  }
  void cancel_all() override { events.push_back(flushing ? "cancel" : "cancel (nothing pending)"), flushing = false; }
  void disconnect() override { events.push_back(flushing ? "disconnect behind the flush" : "disconnect"); }
  bool arm(Clock::duration f, Clock::duration e, std::function<void()> t) override {
    return first = f, every = e, tick = std::move(t), timer_works;
  }
  void disarm() override { events.push_back("disarm"), tick = nullptr; }
  void fire() { if (tick && (ticks++ == 0 || every > Clock::duration::zero())) tick(); }
};

TEST(FlushWithinBound, AtTheBoundThePendingFlushIsCancelledNeverDisconnectedUnderIt) {
  struct Row {
    std::function<void(FakeOverlapped&)> script;
    Events events;
  } rows[] = {
      {[](auto&) {}, {"flush", "cancel", "disarm", "disconnect"}},
      {[](auto& p) { p.thread_is_late = true; },
       {"cancel (nothing pending)", "flush", "cancel", "disarm", "disconnect"}},
      {[](auto& p) { p.client_reads = true; }, {"flush", "disarm", "disconnect"}},
      {[](auto& p) { p.timer_works = false; }, {"disconnect"}},  // without a timer nothing waits
  };
  for (const Row& row : rows) {
    FakeOverlapped pipe;
    row.script(pipe);
    flush_within_bound(pipe, pipe);
    EXPECT_EQ(pipe.events, row.events);
    EXPECT_EQ(pipe.first, kFlushBound);
  }
}

// A client that stops reading in the middle of a long answer: cancelled at the bound.
TEST(OverlappedStreamWrite, APartTheClientDoesNotTakeIsCancelledAtTheBound) {
  const std::string part = "write " + std::to_string(kWritePart);
  auto write = [](std::size_t room, bool timer_works, const Events& events) {
    FakeOverlapped pipe;
    pipe.room = room, pipe.timer_works = timer_works;
    OverlappedStream stream(pipe, pipe);
    const bool written = stream.write_all(std::string(3 * kWritePart, 'x'));
    EXPECT_EQ(pipe.events, events);
    EXPECT_EQ(pipe.first, written ? Clock::duration{} : kWriteBound);
    return written;
  };
  EXPECT_TRUE(write(3 * kWritePart, true, {part, part, part}));  // done at once: no timer
  EXPECT_FALSE(write(kWritePart, true, {part, part, "cancel", "disarm"}));
  EXPECT_FALSE(write(0, false, {part, "cancel"}));  // no timer: no wait at all
}

TEST(PipeAccess, InteractiveUsersMayReadAndWriteButNotCreateInstances) {
  const std::string sddl = kPipeSddl, entry = ";;;IU)";
  const std::size_t end = sddl.find(entry), begin = sddl.rfind("(A;;0x", end);
  ASSERT_TRUE(end != std::string::npos && begin != std::string::npos && sddl.find(entry, end + 1) == sddl.npos);
  const auto granted = static_cast<std::uint32_t>(std::stoul(sddl.substr(begin + 4, end - begin - 4), nullptr, 16));
  EXPECT_EQ(granted & (kPipeCreateInstance | kPipeWriteAttributes), 0u);
  EXPECT_EQ(granted & (kPipeReadData | kPipeWriteData), kPipeReadData | kPipeWriteData);
  EXPECT_EQ(kClientPipeAccess & ~granted, 0u) << "a client's open would be refused";
}

}  // namespace
}  // namespace velk
