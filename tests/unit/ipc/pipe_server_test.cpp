// The accept loop against a fake pipe host: the start order, the rule for the
// first instance, retries, and what a connection thread does; an overlapped
// instance's I/O and bounded flush; reading the caller's token.

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <new>
#include <memory>
#include <string>
#include <utility>
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

// A client as the pipe sees it. Like Windows, the pipe holds no security
// context for the client until a read has returned its bytes: impersonating
// before then gives no_context, so the client's process names it instead.
struct InstanceScript {
  bool connects = true;
  std::string sent = "{\"cmd\":\"status\"}\n";
  Impersonation after_read = Impersonation::done;
  std::optional<TokenFacts> pipe_token = TokenFacts{kUser, 0u};     // the token the pipe names
  std::optional<TokenFacts> process_token = TokenFacts{kUser, 0u};  // the client process's own
};

class FakeInstance final : public PipeInstance, private ByteStream, private CallerTokenSteps {
 public:
  FakeInstance(Events& events, InstanceScript script) : events_(events), script_(std::move(script)) {}
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
    const std::size_t n = std::min(buffer.size(), script_.sent.size() - taken_);
    std::copy_n(script_.sent.data() + taken_, n, buffer.data());
    taken_ += n;
    context_ = context_ || n > 0;
    events_.push_back("read " + std::to_string(n));
    return n;
  }
  bool write_all(std::string_view) override { return true; }
  Impersonation impersonate_client() override { return context_ ? script_.after_read : Impersonation::no_context; }
  bool open_thread_token() override { return true; }
  bool revert_to_self() override { return true; }
  std::optional<TokenFacts> read_token() override { return script_.pipe_token; }
  std::optional<TokenFacts> read_client_process_token() override { return script_.process_token; }
  void stop_process() override {}

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
        std::string all;
        char buffer[1000];
        for (std::size_t n; (n = stream.read(buffer)) > 0;) all.append(buffer, n);
        received.push_back(all);
      },
  };
  // Runs the connection threads started so far, in order, and forgets them.
  void run_threads() {
    std::vector<std::function<void()>> threads = std::move(host.threads);
    host.threads.clear();
    for (auto& thread : threads) thread();
  }
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

// Who the handler serves, and what it reads: the caller is named only once
// the first bytes have been read (the fake pipe, like Windows, holds no
// context for the client before that, and its process is another account),
// and those bytes still reach the handler.
TEST_F(PipeServerTest, TheCallerIsNamedAfterTheFirstReadAndBeforeItIsHandled) {
  const TokenFacts process{"S-1-5-21-1-2-3-2002", 0u}, admin{"S-1-5-21-1-2-3-500", 1u};
  const std::string long_line = "{\"cmd\":\"status\",\"pad\":\"" + std::string(3 * kFirstReadBytes, 'x') + "\"}\n";
  struct Row {
    const char* what;
    InstanceScript script;
    std::optional<CallerIdentity> served;  // absent: closed without an answer
  } rows[] = {
      {"the pipe names the caller", {.process_token = process}, CallerIdentity{kUser, false}},
      {"an elevated caller", {.pipe_token = admin, .process_token = process}, CallerIdentity{admin.sid, true}},
      {"a line longer than the first read", {.sent = long_line, .process_token = process},
       CallerIdentity{kUser, false}},
      // Dynamic tracking and nothing to impersonate yet even after the read: the process names it.
      {"no context after the read", {.after_read = Impersonation::no_context, .process_token = process},
       CallerIdentity{process.sid, false}},
      {"no context and no process", {.after_read = Impersonation::no_context, .process_token = std::nullopt},
       std::nullopt},
      {"impersonation refused otherwise", {.after_read = Impersonation::failed}, std::nullopt},
      {"an anonymous client", {.pipe_token = TokenFacts{"S-1-5-7", 0u}, .process_token = process}, std::nullopt},
      {"a client that sends nothing", {.sent = ""}, std::nullopt},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    served.clear(), received.clear();
    host.scripts = {row.script};
    AcceptLoop loop(host, clock, hooks.serve_connection);
    loop.accept_one();
    ASSERT_EQ(host.threads.size(), 1u);
    run_threads();
    EXPECT_EQ(served, row.served ? std::vector<CallerIdentity>{*row.served} : std::vector<CallerIdentity>{});
    EXPECT_EQ(received, row.served ? std::vector<std::string>{row.script.sent} : std::vector<std::string>{});
  }
}

// Connections are counted against the client's process at accept, so even
// those that have sent nothing yet, and against the caller the pipe names
// after the first read. The kept slots go only to elevated callers.
TEST_F(PipeServerTest, NoOrdinaryAccountCanLockOutAnElevatedCaller) {
  const TokenFacts user_a{kUser, 0u}, user_b{"S-1-5-21-1-2-3-1002", 0u}, admin{"S-1-5-21-1-2-3-500", 1u},
      system{"S-1-5-18", std::nullopt};
  auto client = [](TokenFacts process, std::optional<TokenFacts> named = std::nullopt) {
    return InstanceScript{.pipe_token = named.value_or(process), .process_token = process};
  };
  // Bounds: 3 per account, 7 in all, 2 of them kept.
  host.scripts = {client(user_a), client(user_a), client(user_a), client(user_a), client(user_b), client(user_b),
                  client(user_b), client(admin), client(system), client(admin)};
  host.scripts[6].process_token = std::nullopt;  // a process that cannot be read
  AcceptLoop loop(host, clock, hooks.serve_connection, ConnectionLimits(3, 7, 2));
  for (int i = 0; i < 10; ++i) loop.accept_one();
  // None has sent anything yet. user_a's fourth is over its bound, the
  // unreadable one over the ordinary room, the second administrator's over all.
  EXPECT_EQ(host.threads.size(), 7u);
  EXPECT_EQ(std::count(events.begin(), events.end(), "flush+disconnect"), 3);
  run_threads();
  EXPECT_EQ(served.size(), 7u);
  EXPECT_EQ(std::count(served.begin(), served.end(), CallerIdentity{"S-1-5-18", true}), 1);

  // A process that counted as elevated, but the pipe names an ordinary
  // caller: with the ordinary room taken it gets no answer.
  ConnectionLimits limits(3, 4, 2);
  host.scripts = {client(user_a), client(user_b), client(admin, user_b)};
  AcceptLoop held(host, clock, hooks.serve_connection, limits);
  for (int i = 0; i < 3; ++i) held.accept_one();
  ASSERT_EQ(host.threads.size(), 3u);
  std::vector<std::function<void()>> threads = std::move(host.threads);
  host.threads.clear();
  threads[2]();
  EXPECT_EQ(served.size(), 7u) << "an ordinary caller took a kept slot";
  EXPECT_NE(limits.admit(CallerIdentity{admin.sid, true}), nullptr) << "the refused caller kept its slot";
}

TEST(ConnectionLimits, BoundsKeptSlotsAndRelease) {
  ConnectionLimits limits(2, 4, 1);
  const CallerIdentity a{"a", false}, b{"b", false}, c{"c", false}, root{"S-1-5-18", true};
  auto a1 = limits.admit(a), a2 = limits.admit(a), b1 = limits.admit(b);
  EXPECT_TRUE(a1 && a2 && b1);
  EXPECT_EQ(limits.admit(a), nullptr);  // "a" is at its own bound
  EXPECT_EQ(limits.admit(c), nullptr);  // the last slot is kept
  auto kept = limits.admit(root);
  EXPECT_NE(kept, nullptr);
  EXPECT_EQ(limits.admit(root), nullptr);  // the server is full
  b1.reset();
  EXPECT_EQ(limits.admit(a), nullptr);
  EXPECT_EQ(limits.admit(c), nullptr) << "an ordinary caller left fewer than the kept slots free";
  a1.reset();
  EXPECT_NE(limits.admit(c), nullptr);

  // Four accounts holding all they can at the real bounds leave room for an
  // administrator and for LocalSystem.
  ConnectionLimits real;
  std::vector<ConnectionLimits::Ticket> held;
  for (const char* sid : {"u1", "u2", "u3", "u4"}) {
    while (auto ticket = real.admit(CallerIdentity{sid, false})) held.push_back(std::move(ticket));
  }
  EXPECT_EQ(held.size(), kMaxConnections - kKeptForElevated);
  EXPECT_NE(real.admit(CallerIdentity{"S-1-5-21-1-2-3-500", true}), nullptr);
  EXPECT_NE(real.admit(root), nullptr);
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
  std::optional<TokenFacts> process = TokenFacts{"S-1-5-21-1-2-3-2002", 0u};
  Events events;
  bool note(const char* what, bool ok) {
    events.push_back(std::string(what) + (ok ? "" : " failed"));
    return ok;
  }
  Impersonation impersonate_client() override {
    events.push_back(impersonation == Impersonation::done        ? "impersonate"
                     : impersonation == Impersonation::no_context ? "impersonate: no context"
                                                                  : "impersonate failed");
    return impersonation;
  }
  bool open_thread_token() override { return note("open token", opens); }
  bool revert_to_self() override { return note("revert", reverts); }
  std::optional<TokenFacts> read_token() override { return note("read", true) ? facts : std::nullopt; }
  std::optional<TokenFacts> read_client_process_token() override {
    return note("read process", true) ? process : std::nullopt;
  }
  void stop_process() override { events.push_back("stop process"); }
};

TEST(IdentifyThroughPipe, TheThreadIsItselfAgainBeforeTheTokenIsReadAndOnEveryFailure) {
  const Events all{"impersonate", "open token", "revert", "read"};
  const Events from_process{"impersonate: no context", "revert", "read process"};
  const CallerIdentity user{"S-1-5-21-1-2-3-1001", false}, system{"S-1-5-18", true};
  const CallerIdentity owner{"S-1-5-21-1-2-3-2002", false};
  struct Row {
    std::function<void(FakeTokenSteps&)> script;
    Events steps;
    std::optional<CallerIdentity> identity;
  } rows[] = {
      {[](auto&) {}, all, user},
      {[](auto& s) { s.facts = TokenFacts{"S-1-5-18", std::nullopt}; }, all, system},
      {[](auto& s) { s.facts = std::nullopt; }, all, std::nullopt},
      {[](auto& s) { s.facts = TokenFacts{"S-1-5-7", 0u}; }, all, std::nullopt},  // anonymous
      {[](auto& s) { s.impersonation = Impersonation::failed; }, {"impersonate failed", "revert"}, std::nullopt},
      // An anonymous client is impersonated, but its token cannot be opened: no process look-up.
      {[](auto& s) { s.opens = false; }, {"impersonate", "open token failed", "revert"}, std::nullopt},
      // No context for the client on the pipe: its process names it.
      {[](auto& s) { s.impersonation = Impersonation::no_context; }, from_process, owner},
      {[](auto& s) { s.impersonation = Impersonation::no_context, s.process = std::nullopt; }, from_process, {}},
      {[](auto& s) { s.impersonation = Impersonation::no_context, s.process = TokenFacts{"S-1-5-7", 0u}; },
       from_process, std::nullopt},
      // Still the client: the process must not go on, and nobody is served.
      {[](auto& s) { s.reverts = false; }, {"impersonate", "open token", "revert failed", "stop process"}, {}},
      {[](auto& s) { s.impersonation = Impersonation::no_context, s.reverts = false; },
       {"impersonate: no context", "revert failed", "stop process"}, {}},
  };
  for (const Row& row : rows) {
    FakeTokenSteps steps;
    row.script(steps);
    EXPECT_EQ(identify_through_pipe(steps), row.identity) << ::testing::PrintToString(row.steps);
    EXPECT_EQ(steps.events, row.steps);
  }
}

// An overlapped instance and its timer. A write the pipe has no room for,
// and a flush the client does not read, stay pending until a cancel reaches
// them while they are pending; each round of their wait is a tick of the
// timer, as time passes.
struct FakeOverlapped final : OverlappedPipe, Alarm {
  Events events;
  bool client_reads = false, thread_is_late = false, timer_works = true, pending = false;
  std::size_t room = 0;  // bytes the client takes before it stops reading
  Clock::duration first{}, every{};
  std::function<void()> tick;
  int ticks = 0;

  bool start_read(std::span<char>) override { return false; }
  Start start_write(std::string_view bytes) override {
    events.push_back("write " + std::to_string(bytes.size()));
    if (bytes.size() > room) return pending = true, Start::pending;
    return room -= bytes.size(), written = bytes.size(), Start::done;
  }
  std::optional<std::size_t> finish() override {
    wait();
    if (!pending) return std::exchange(written, 0) > 0 ? std::optional<std::size_t>(kWritePart) : std::nullopt;
    events.push_back("still pending");
    return std::nullopt;
  }
  void flush() override {
    if (thread_is_late) fire();  // the bound passed before the flush was issued
    events.push_back("flush");
    pending = !client_reads;
    wait();
  }
  void cancel_all() override { events.push_back(pending ? "cancel" : "cancel (nothing pending)"), pending = false; }
  void disconnect() override { events.push_back(pending ? "disconnect behind the flush" : "disconnect"); }
  bool arm(Clock::duration f, Clock::duration e, std::function<void()> t) override {
    return first = f, every = e, tick = std::move(t), timer_works;
  }
  void disarm() override { events.push_back("disarm"), tick = nullptr; }
  void wait() {
    for (int round = 0; pending && round < 50; ++round) fire();  // at most 5 s
  }
  void fire() { if (tick && (ticks++ == 0 || every > Clock::duration::zero())) tick(); }

 private:
  std::size_t written = 0;
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

// A client that stops reading in the middle of a long answer: the part it
// does not take is cancelled at the bound and the connection is over.
TEST(OverlappedStreamWrite, APartTheClientDoesNotTakeIsCancelledAtTheBound) {
  const std::string part = std::to_string(kWritePart);
  struct Row {
    const char* what;
    std::size_t room;
    bool timer_works;
    bool written;
    Events events;
  } rows[] = {
      {"the client takes it all", 3 * kWritePart, true, true, {"write " + part, "write " + part, "write " + part}},
      {"the client stops reading", kWritePart, true, false, {"write " + part, "write " + part, "cancel", "disarm"}},
      {"no timer", 0, false, false, {"write " + part, "cancel"}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    FakeOverlapped pipe;
    pipe.room = row.room, pipe.timer_works = row.timer_works;
    OverlappedStream stream(pipe, pipe);
    EXPECT_EQ(stream.write_all(std::string(3 * kWritePart, 'x')), row.written);
    EXPECT_EQ(pipe.events, row.events);
    EXPECT_EQ(pipe.first, row.written ? Clock::duration{} : kWriteBound) << "a write done at once needs no timer";
  }
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
