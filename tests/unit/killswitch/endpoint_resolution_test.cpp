#include "killswitch/endpoint_resolution.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <fstream>
#include <map>
#include <mutex>
#include <set>

#include "fake_filter_ops.h"
#include "killswitch/address_rules.h"
#include "temp_dir.h"

namespace velk {
namespace {

using namespace std::chrono_literals;

IpAddress ip(const char* text) { return IpAddress::parse(text).value(); }

// Answers from a table; names listed as slow answer only once released.
class FakeResolver final : public HostResolver {
 public:
  std::vector<IpAddress> resolve(const std::string& host) override {
    std::unique_lock lock(mutex_);
    asked_.push_back(host);
    if (slow_.count(host)) changed_.wait(lock, [&] { return released_; });
    auto it = answers_.find(host);
    std::vector<IpAddress> answer = it == answers_.end() ? std::vector<IpAddress>{} : it->second;
    ++finished_;
    changed_.notify_all();
    return answer;
  }

  void answer(const std::string& host, std::vector<IpAddress> addresses) {
    std::lock_guard lock(mutex_);
    answers_[host] = std::move(addresses);
  }
  void make_slow(const std::string& host) {
    std::lock_guard lock(mutex_);
    slow_.insert(host);
  }
  // Lets slow answers through and waits until `count` look-ups have finished.
  void release_and_wait(int count) {
    std::unique_lock lock(mutex_);
    released_ = true;
    changed_.notify_all();
    changed_.wait(lock, [&] { return finished_ >= count; });
  }
  std::vector<std::string> asked() {
    std::lock_guard lock(mutex_);
    return asked_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::map<std::string, std::vector<IpAddress>> answers_;
  std::set<std::string> slow_;
  std::vector<std::string> asked_;
  bool released_ = false;
  int finished_ = 0;
};

Route route(const std::string& tag, const std::string& server, std::uint16_t port = 443) {
  Route r;
  r.tag = tag;
  r.server = server;
  r.port = port;
  r.uuid = "00000000-0000-0000-0000-000000000000";
  r.server_name = "sni.example";
  r.fingerprint = "chrome";
  r.public_key = std::string(43, 'A');
  return r;
}

class ResolutionTest : public ::testing::Test {
 protected:
  ResolutionTest() { resolution_.bound = 4000ms; }
  KillSwitchStore store_with(const std::string& saved_json) {
    std::ofstream(tmp_.path() / "killswitch.json", std::ios::binary) << saved_json;
    return KillSwitchStore::load(tmp_.path(), filters_);
  }
  KillSwitchStore empty_store() { return KillSwitchStore::load(tmp_.path() / "none", filters_); }

  test::TempDir tmp_;
  test::FakeFilterOps filters_;
  std::shared_ptr<FakeResolver> resolver_ = std::make_shared<FakeResolver>();
  NameResolution resolution_{resolver_};
};

TEST_F(ResolutionTest, LiteralsAreKeptCanonicalWithoutResolverOrEntry) {
  auto store = empty_store();
  EngineRequest req{{route("srv-a", "10.1.2.3", 8443), route("srv-b", "2001:DB8:0:0:0:0:0:1")}, "srv-b"};
  auto r = resolve_routes(req, false, false, store, resolution_);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->request.routes[0].server, "10.1.2.3");
  EXPECT_EQ(r->request.routes[1].server, "2001:db8::1");
  EXPECT_EQ(r->request.routes[1].uuid, req.routes[1].uuid);  // other fields copied
  EXPECT_EQ(r->request.selected, "srv-b");
  EXPECT_TRUE(r->new_entries.empty());
  EXPECT_TRUE(resolver_->asked().empty());

  auto pins = derive_pins(r->request);
  ASSERT_TRUE(pins);
  EXPECT_EQ(*pins, (std::vector<Pin>{{ip("10.1.2.3"), 8443}, {ip("2001:db8::1"), 443}}));
}

TEST_F(ResolutionTest, HostNamesAreResolvedRecordedInRouteOrderAndPreferIpv4) {
  resolver_->answer("b.example", {ip("2001:db8::b"), ip("198.51.100.2")});
  resolver_->answer("a.example", {ip("198.51.100.1"), ip("2001:db8::a")});
  resolver_->answer("v6.example", {ip("fe80::1"), ip("127.0.0.1"), ip("2001:db8::6"), ip("2001:db8::7")});
  auto store = empty_store();
  EngineRequest req{{route("srv-b", "b.example"), route("srv-a", "a.example"), route("srv-6", "v6.example")}, "auto"};
  auto r = resolve_routes(req, false, false, store, resolution_);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->request.routes[0].server, "198.51.100.2");
  EXPECT_EQ(r->request.routes[1].server, "198.51.100.1");
  EXPECT_EQ(r->request.routes[2].server, "2001:db8::6");  // no acceptable IPv4: first acceptable of any
  EXPECT_EQ(r->new_entries, (std::vector<HostEntry>{{"b.example", ip("198.51.100.2")},
                                                    {"a.example", ip("198.51.100.1")},
                                                    {"v6.example", ip("2001:db8::6")}}));
  EXPECT_EQ(r->request.selected, "auto");
}

TEST_F(ResolutionTest, UnresolvableRoutesAreDroppedAndTheSelectionFallsBackToAuto) {
  resolver_->answer("up.example", {ip("198.51.100.1")});
  resolver_->answer("bad.example", {ip("127.0.0.1"), ip("::1"), ip("224.0.0.1"), ip("::ffff:169.254.169.254"),
                                    ip("::ffff:127.0.0.1")});  // nothing acceptable
  auto store = empty_store();
  EngineRequest req{{route("srv-up", "up.example"), route("srv-down", "down.example"), route("srv-bad", "bad.example")},
                    "srv-down"};
  auto r = resolve_routes(req, false, true, store, resolution_);
  ASSERT_TRUE(r);
  ASSERT_EQ(r->request.routes.size(), 1u);
  EXPECT_EQ(r->request.routes[0].tag, "srv-up");
  EXPECT_EQ(r->request.selected, "auto");
  EXPECT_EQ(r->new_entries.size(), 1u);

  req.selected = "srv-up";
  EXPECT_EQ(resolve_routes(req, false, true, store, resolution_)->request.selected, "srv-up");

  EngineRequest none{{route("srv-down", "down.example")}, "srv-down"};
  auto failed = resolve_routes(none, false, false, store, resolution_);
  ASSERT_FALSE(failed);
  EXPECT_EQ(failed.error(), "endpoint_unresolved");
}

TEST_F(ResolutionTest, SavedAddressesAreTheFallback) {
  auto store = store_with(R"({"version":1,"pins":{"down.example":"203.0.113.5","up.example":"203.0.113.9"}})");
  resolver_->answer("up.example", {ip("198.51.100.1")});
  EngineRequest req{{route("srv-up", "up.example"), route("srv-down", "down.example")}, "srv-down"};
  auto r = resolve_routes(req, false, false, store, resolution_);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->request.routes[0].server, "198.51.100.1");  // a fresh answer wins over the saved one
  EXPECT_EQ(r->request.routes[1].server, "203.0.113.5");
  EXPECT_EQ(r->request.selected, "srv-down");
  EXPECT_EQ(r->new_entries, (std::vector<HostEntry>{{"up.example", ip("198.51.100.1")},
                                                    {"down.example", ip("203.0.113.5")}}));
}

TEST_F(ResolutionTest, EngagedWithoutEngineUsesOnlySavedAddresses) {
  auto store = store_with(R"({"version":1,"pins":{"saved.example":"203.0.113.5"}})");
  resolver_->answer("saved.example", {ip("198.51.100.1")});
  resolver_->answer("other.example", {ip("198.51.100.2")});
  EngineRequest req{{route("srv-s", "saved.example"), route("srv-o", "other.example")}, "srv-o"};
  auto r = resolve_routes(req, /*engaged=*/true, /*engine_running=*/false, store, resolution_);
  ASSERT_TRUE(r);
  ASSERT_EQ(r->request.routes.size(), 1u);
  EXPECT_EQ(r->request.routes[0].server, "203.0.113.5");
  EXPECT_EQ(r->request.selected, "auto");
  EXPECT_TRUE(resolver_->asked().empty());

  // With the engine running the tunnel carries the look-up.
  auto running = resolve_routes(req, true, true, store, resolution_);
  ASSERT_TRUE(running);
  EXPECT_EQ(running->request.routes.size(), 2u);
  EXPECT_EQ(resolver_->asked(), (std::vector<std::string>{"saved.example", "other.example"}));
}

TEST_F(ResolutionTest, AnAnswerAfterTheBoundCountsAsNone) {
  resolution_.bound = 20ms;
  resolver_->make_slow("slow.example");
  resolver_->answer("slow.example", {ip("198.51.100.1")});
  resolver_->make_slow("slower.example");
  resolver_->answer("slower.example", {ip("198.51.100.2")});
  auto store = store_with(R"({"version":1,"pins":{"slower.example":"203.0.113.7"}})");
  EngineRequest req{{route("srv-slow", "slow.example"), route("srv-lit", "192.0.2.1"),
                     route("srv-slower", "slower.example")},
                    "srv-slow"};
  // The slow look-ups only finish once released, after resolve_routes has
  // returned: a wait that ignored the bound would never come back.
  auto r = resolve_routes(req, false, false, store, resolution_);
  resolver_->release_and_wait(2);
  ASSERT_TRUE(r);
  ASSERT_EQ(r->request.routes.size(), 2u);
  EXPECT_EQ(r->request.routes[0].server, "192.0.2.1");
  EXPECT_EQ(r->request.routes[1].server, "203.0.113.7");  // late: the saved address is used
  EXPECT_EQ(r->request.selected, "auto");
  EXPECT_EQ(resolver_->asked(), (std::vector<std::string>{"slow.example", "slower.example"}));
}

// Holds its look-up until the test opens the gate, and tells the gate when
// it is destroyed.
struct Gate {
  std::mutex mutex;
  std::condition_variable changed;
  bool open = false;
  bool resolver_gone = false;
};

class GatedResolver final : public HostResolver {
 public:
  explicit GatedResolver(std::shared_ptr<Gate> gate) : gate_(std::move(gate)) {}
  ~GatedResolver() override {
    std::lock_guard lock(gate_->mutex);
    gate_->resolver_gone = true;
    gate_->changed.notify_all();
  }
  std::vector<IpAddress> resolve(const std::string&) override {
    std::unique_lock lock(gate_->mutex);
    gate_->changed.wait(lock, [&] { return gate_->open; });
    return {IpAddress::parse("198.51.100.1").value()};
  }

 private:
  std::shared_ptr<Gate> gate_;
};

TEST(ResolverThread, OutlivesItsCallerSafely) {
  auto gate = std::make_shared<Gate>();
  {
    NameResolution resolution{std::make_shared<GatedResolver>(gate), 1ms};
    EXPECT_TRUE(resolve_within_bound(resolution, "slow.example").empty());
  }  // the caller's copies are gone; the late thread keeps its own
  std::unique_lock lock(gate->mutex);
  EXPECT_FALSE(gate->resolver_gone);
  gate->open = true;
  gate->changed.notify_all();
  // The thread delivers its late answer into the void and lets go of the resolver.
  gate->changed.wait(lock, [&] { return gate->resolver_gone; });
}

TEST_F(ResolutionTest, QuickAnswersArriveWithinTheBound) {
  resolver_->answer("quick.example", {ip("2001:db8::1"), ip("192.0.2.9")});
  EXPECT_EQ(resolve_within_bound(resolution_, "quick.example"),
            (std::vector<IpAddress>{ip("2001:db8::1"), ip("192.0.2.9")}));
  EXPECT_TRUE(resolve_within_bound(resolution_, "unknown.example").empty());
  EXPECT_TRUE(resolve_within_bound(NameResolution{nullptr, 10ms}, "quick.example").empty());
  EXPECT_EQ(system_name_resolution().bound, 4000ms);
}

TEST_F(ResolutionTest, NoThreadForTheResolverLeavesTheNameUnresolved) {
  resolver_->answer("quick.example", {ip("192.0.2.9")});
  NameResolution no_threads{resolver_, 4000ms, [](std::function<void()>) { return false; }};
  EXPECT_TRUE(resolve_within_bound(no_threads, "quick.example").empty());
}

TEST(DerivePins, RefusedAddresses) {
  const char* refused[] = {"0.0.0.0",     "255.255.255.255", "127.0.0.1", "127.255.0.9", "224.0.0.1",
                           "239.255.255.255", "169.254.1.1", "::",        "::1",         "ff02::1",
                           "ff00::",      "fe80::1",         "febf:ffff::1",
                           // IPv4-mapped: the IPv4 rules apply
                           "::ffff:127.0.0.1", "::ffff:169.254.169.254", "::ffff:0.0.0.0", "::ffff:224.0.0.1",
                           "::FFFF:255.255.255.255", "::ffff:7f00:1"};
  for (const char* server : refused) {
    EngineRequest req{{route("srv-a", "192.0.2.1"), route("srv-b", server)}, "auto"};
    auto r = derive_pins(req);
    ASSERT_FALSE(r) << server;
    EXPECT_EQ(r.error(), "endpoint_refused") << server;
  }
  const char* accepted[] = {"10.0.0.1", "192.168.1.1", "172.16.0.1", "126.255.255.255", "128.0.0.1",
                            "223.255.255.255", "240.0.0.1", "169.253.0.1", "::2", "fec0::1", "fe00::1",
                            "fc00::1", "2001:db8::1", "::ffff:192.0.2.1"};
  for (const char* server : accepted) {
    EngineRequest req{{route("srv-a", server)}, "auto"};
    EXPECT_TRUE(derive_pins(req)) << server;
  }
}

TEST(DerivePins, AHostNameIsUnresolved) {
  EngineRequest req{{route("srv-a", "192.0.2.1"), route("srv-b", "vpn.example")}, "auto"};
  EXPECT_EQ(derive_pins(req).error(), "endpoint_unresolved");
}

TEST(DerivePins, SortedWithoutDuplicates) {
  EngineRequest req{{route("srv-1", "10.1.2.3"), route("srv-2", "10.1.2.3"), route("srv-3", "10.1.2.3"),
                     route("srv-4", "2001:db8::1", 80), route("srv-5", "10.1.2.3", 80),
                     route("srv-6", "9.0.0.1", 8443), route("srv-7", "200.0.0.1"),
                     // a mapped address is its IPv4 address, so this one is a duplicate of srv-6
                     route("srv-8", "::ffff:9.0.0.1", 8443)},
                    "auto"};
  auto pins = derive_pins(req);
  ASSERT_TRUE(pins);
  EXPECT_EQ(*pins, (std::vector<Pin>{{ip("9.0.0.1"), 8443},
                                     {ip("10.1.2.3"), 80},
                                     {ip("10.1.2.3"), 443},
                                     {ip("200.0.0.1"), 443},
                                     {ip("2001:db8::1"), 80}}));

  EngineRequest three{{route("srv-1", "10.1.2.3"), route("srv-2", "10.1.2.3"), route("srv-3", "10.1.2.3")}, "auto"};
  EXPECT_EQ(derive_pins(three)->size(), 1u);
}

TEST(ResolutionPipeline, SavedRefusedAddressIsRefusedAtThePins) {
  test::TempDir tmp;
  test::FakeFilterOps filters;
  std::ofstream(tmp.path() / "killswitch.json", std::ios::binary)
      << R"({"version":1,"pins":{"lo.example":"127.0.0.1"}})";
  auto store = KillSwitchStore::load(tmp.path(), filters);
  EngineRequest req{{route("srv-a", "lo.example")}, "auto"};
  auto r = resolve_routes(req, true, false, store, NameResolution{std::make_shared<FakeResolver>()});
  ASSERT_TRUE(r);
  EXPECT_EQ(derive_pins(r->request).error(), "endpoint_refused");
}

TEST(AddressChoice, Ipv4FirstWhateverTheOrder) {
  EXPECT_EQ(choose_server_address({ip("2001:db8::1"), ip("192.0.2.1")}), ip("192.0.2.1"));
  EXPECT_EQ(choose_server_address({ip("192.0.2.1"), ip("2001:db8::1")}), ip("192.0.2.1"));
  EXPECT_EQ(choose_server_address({ip("169.254.0.1"), ip("2001:db8::1"), ip("192.0.2.2")}), ip("192.0.2.2"));
  EXPECT_EQ(choose_server_address({ip("::1"), ip("2001:db8::1"), ip("2001:db8::2")}), ip("2001:db8::1"));
  EXPECT_FALSE(choose_server_address({ip("127.0.0.1"), ip("fe80::1")}));
  EXPECT_FALSE(choose_server_address({}));
}

}  // namespace
}  // namespace velk

namespace velk {
namespace {

TEST(SystemResolver, LiteralsAndEmptyName) {
  auto resolver = system_host_resolver();
  EXPECT_EQ(resolver->resolve("192.0.2.7"), std::vector<IpAddress>{IpAddress::parse("192.0.2.7").value()});
  EXPECT_EQ(resolver->resolve("2001:db8::5"), std::vector<IpAddress>{IpAddress::parse("2001:db8::5").value()});
  EXPECT_TRUE(resolver->resolve("").empty());
}

}  // namespace
}  // namespace velk
