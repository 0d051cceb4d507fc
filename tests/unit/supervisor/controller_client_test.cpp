// The controller client: exact request bytes, the reading of answers, and real
// exchanges with a local server thread that answers canned bytes.

#include "supervisor/controller_client.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "ipc/error_codes.h"
#include "standin_harness.h"

namespace velk::test {
namespace {

using namespace std::chrono_literals;

// ---- Request text ----

TEST(ControllerRequestText, GetCarriesLengthZeroAndNothingAfterTheBlankLine) {
  EXPECT_EQ(build_controller_request("GET", "/proxies/proxy", "s3cr3t", std::nullopt),
            "GET /proxies/proxy HTTP/1.0\r\nHost: 127.0.0.1\r\nAuthorization: Bearer s3cr3t\r\n"
            "Content-Type: application/json\r\nContent-Length: 0\r\n\r\n");
}

TEST(ControllerRequestText, PutCarriesItsBodyAndByteLength) {
  EXPECT_EQ(build_controller_request("PUT", "/proxies/proxy", "k", std::string_view("{\"name\":\"srv-\xc3\xa9\"}")),
            "PUT /proxies/proxy HTTP/1.0\r\nHost: 127.0.0.1\r\nAuthorization: Bearer k\r\n"
            "Content-Type: application/json\r\nContent-Length: 17\r\n\r\n{\"name\":\"srv-\xc3\xa9\"}");
}

// ---- Reading the answer ----

TEST(ControllerAnswer, StatusAndBodySplitAtTheFirstBlankLine) {
  auto r = parse_controller_answer("HTTP/1.0 200 OK\r\nContent-Type: x\r\n\r\n{\"a\":1}\r\n\r\ntail");
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r->status, 200u);
  EXPECT_EQ(r->body, "{\"a\":1}\r\n\r\ntail");

  auto no_content = parse_controller_answer("HTTP/1.1 204 No Content\r\n\r\n");
  ASSERT_TRUE(no_content.ok());
  EXPECT_EQ(no_content->status, 204u);
  EXPECT_EQ(no_content->body, "");
}

TEST(ControllerAnswer, MalformedAnswersAreTransportFailures) {
  for (const char* bad : {"HTTP/1.1\r\n\r\nbody",          // one word only
                          "HTTP/1.0 200 OK\r\nX: y\r\n",   // no blank line
                          "",                              // nothing at all
                          "HTTP/1.0 OK 200\r\n\r\n",       // second word not a number
                          "HTTP/1.0 -200 OK\r\n\r\n",      // sign other than "+"
                          "HTTP/1.0 + OK\r\n\r\n",         // "+" without digits
                          "HTTP/1.0 4294967296 X\r\n\r\n", // beyond 32 bits
                          "HTTP/1.0 20x OK\r\n\r\n"}) {
    auto r = parse_controller_answer(bad);
    ASSERT_FALSE(r.ok()) << bad;
    EXPECT_EQ(r.error(), err::engine_unreachable);
  }
}

TEST(ControllerAnswer, StatusWordEdges) {
  auto plus = parse_controller_answer("HTTP/1.0 +200 OK\r\n\r\n");
  ASSERT_TRUE(plus.ok());
  EXPECT_EQ(plus->status, 200u);
  auto max = parse_controller_answer("  HTTP/1.0\t4294967295\r\n\r\n");  // any white space separates
  ASSERT_TRUE(max.ok());
  EXPECT_EQ(max->status, 4294967295u);
  auto leading_zeros = parse_controller_answer("HTTP/1.0 000204\r\n\r\n");
  ASSERT_TRUE(leading_zeros.ok());
  EXPECT_EQ(leading_zeros->status, 204u);
}

TEST(ControllerAnswer, InvalidUtf8BecomesReplacementCharacters) {
  auto r = parse_controller_answer("HTTP/1.0 200 OK\r\n\r\n{\"now\":\"a\xff\xfe\"}");
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r->body, "{\"now\":\"a\xef\xbf\xbd\xef\xbf\xbd\"}");
  EXPECT_EQ(member_from_reply(*r), "a\xef\xbf\xbd\xef\xbf\xbd");
}

TEST(ControllerAnswer, CurrentMemberNeedsStatus200AndATextNow) {
  EXPECT_EQ(member_from_reply({200, "{\"now\":\"srv-1\"}"}), "srv-1");
  EXPECT_EQ(member_from_reply({200, "{\"type\": \"URLTest\", \"now\": \"\"}"}), "");
  EXPECT_EQ(member_from_reply({200, "{\"now\":5}"}), std::nullopt);
  EXPECT_EQ(member_from_reply({200, "{\"now\":null}"}), std::nullopt);
  EXPECT_EQ(member_from_reply({200, "{\"all\":[]}"}), std::nullopt);
  EXPECT_EQ(member_from_reply({200, "[\"now\"]"}), std::nullopt);
  EXPECT_EQ(member_from_reply({200, "not json"}), std::nullopt);
  EXPECT_EQ(member_from_reply({201, "{\"now\":\"srv-1\"}"}), std::nullopt);
  EXPECT_EQ(member_from_reply({404, "{\"message\":\"Resource not found\"}"}), std::nullopt);
}

TEST(ControllerAnswer, DelayNeedsStatus200AndANonNegativeInteger) {
  EXPECT_EQ(delay_from_reply({200, "{\"delay\":123}\n"}), 123u);
  EXPECT_EQ(delay_from_reply({200, "{\"delay\":0}"}), 0u);
  EXPECT_EQ(delay_from_reply({200, "{\"delay\":4294967295}"}), 4294967295u);
  EXPECT_EQ(delay_from_reply({200, "{\"delay\":4294967296}"}), std::nullopt);  // no silent wrap
  EXPECT_EQ(delay_from_reply({200, "{\"delay\":-1}"}), std::nullopt);
  EXPECT_EQ(delay_from_reply({200, "{\"delay\":1.5}"}), std::nullopt);
  EXPECT_EQ(delay_from_reply({200, "{\"delay\":1.0}"}), std::nullopt);
  EXPECT_EQ(delay_from_reply({200, "{\"delay\":\"12\"}"}), std::nullopt);
  EXPECT_EQ(delay_from_reply({200, "{\"other\":12}"}), std::nullopt);
  EXPECT_EQ(delay_from_reply({200, "12"}), std::nullopt);
  EXPECT_EQ(delay_from_reply({200, "{\"delay\":"}), std::nullopt);
  EXPECT_EQ(delay_from_reply({408, "{\"delay\":123}"}), std::nullopt);
  EXPECT_EQ(delay_from_reply({504, "{\"message\":\"Timeout\"}"}), std::nullopt);
}

// ---- The route in use ----

struct GroupAnswers {
  std::optional<std::string> proxy, latency;
  std::vector<std::string> asked;
  std::optional<std::string> operator()(std::string_view group) {
    asked.emplace_back(group);
    return group == kSelectorGroup ? proxy : latency;
  }
};

const EngineRequest kRoutes{{Route{.tag = "srv-1"}, Route{.tag = "srv-2"}, Route{.tag = "srv-3"}}, "auto"};

TEST(CurrentRoute, FollowsTheSelectorAndResolvesTheLatencyGroup) {
  GroupAnswers direct{"srv-2", "srv-1", {}};
  EXPECT_EQ(current_route_from(std::ref(direct), kRoutes), "srv-2");
  EXPECT_EQ(direct.asked, std::vector<std::string>{"proxy"});  // "auto" not asked

  GroupAnswers via_auto{"auto", "srv-3", {}};
  EXPECT_EQ(current_route_from(std::ref(via_auto), kRoutes), "srv-3");
  EXPECT_EQ(via_auto.asked, (std::vector<std::string>{"proxy", "auto"}));

  GroupAnswers silent{std::nullopt, "srv-1", {}};
  EXPECT_EQ(current_route_from(std::ref(silent), kRoutes), std::nullopt);
}

TEST(CurrentRoute, LatencyGroupWithoutAMemberYetLeavesAuto) {
  GroupAnswers before_first_check{"auto", "", {}};
  EXPECT_EQ(current_route_from(std::ref(before_first_check), kRoutes), "auto");
  GroupAnswers no_answer{"auto", std::nullopt, {}};
  EXPECT_EQ(current_route_from(std::ref(no_answer), kRoutes), "auto");
}

// Whatever won the controller's port may name anything: only "auto" and the
// request's own tags are reported.
TEST(CurrentRoute, NamesOutsideTheRequestCountAsNoAnswer) {
  const std::string huge(1 << 20, 'x');
  struct Case {
    std::optional<std::string> proxy, latency, expected;
  } cases[] = {
      {"srv-9", "srv-1", std::nullopt},  // a tag the request does not have
      {"", "srv-1", std::nullopt},
      {"direct", std::nullopt, std::nullopt},
      {huge, std::nullopt, std::nullopt},
      {"proxy", std::nullopt, std::nullopt},
      {"auto", "srv-9", "auto"},  // the latency group's foreign member
      {"auto", huge, "auto"},
      {"auto", "auto", "auto"},
  };
  for (const Case& c : cases) {
    GroupAnswers answers{c.proxy, c.latency, {}};
    EXPECT_EQ(current_route_from(std::ref(answers), kRoutes), c.expected) << c.proxy->substr(0, 20);
  }
}

// ---- Real exchanges with a canned local server ----

// Accepts one connection, reads the request (headers and Content-Length bytes),
// answers `answer` unless silent, and then records whatever else the client
// sends until it closes.
class CannedServer {
 public:
  enum class Pace { at_once, silent, trickle };  // trickle: one byte every 20 ms
  explicit CannedServer(std::string answer, Pace pace = Pace::at_once) : answer_(std::move(answer)), pace_(pace) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd_, 4) != 0 ||
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
      ADD_FAILURE() << "cannot listen";
    }
    port_ = ntohs(addr.sin_port);
    thread_ = std::thread([this] { serve(); });
  }
  ~CannedServer() {
    if (thread_.joinable()) thread_.join();
    ::close(fd_);
  }
  std::uint16_t port() const { return port_; }
  // Everything the client sent; call after the exchange.
  const std::string& received() {
    if (thread_.joinable()) thread_.join();
    return received_;
  }

 private:
  static bool complete(const std::string& raw) {
    std::size_t end = raw.find("\r\n\r\n");
    if (end == std::string::npos) return false;
    std::size_t at = raw.find("Content-Length: ");
    std::size_t length = at < end ? std::stoul(raw.substr(at + 16)) : 0;
    return raw.size() >= end + 4 + length;
  }

  void serve() {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, 10000) != 1) return;  // nobody came
    int c = ::accept(fd_, nullptr, nullptr);
    if (c < 0) return;
    timeval tv{10, 0};
    ::setsockopt(c, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    char buf[4096];
    while (!complete(received_)) {
      ssize_t n = ::recv(c, buf, sizeof buf, 0);
      if (n <= 0) break;
      received_.append(buf, static_cast<std::size_t>(n));
    }
    if (pace_ != Pace::silent) {
      std::size_t done = 0;
      while (done < answer_.size()) {
        std::size_t chunk = answer_.size() - done;
        if (pace_ == Pace::trickle) {
          chunk = 1;
          std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        ssize_t n = ::send(c, answer_.data() + done, chunk, MSG_NOSIGNAL);
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
      }
      ::shutdown(c, SHUT_WR);
    }
    for (;;) {  // until the client closes
      ssize_t n = ::recv(c, buf, sizeof buf, 0);
      if (n <= 0) break;
      received_.append(buf, static_cast<std::size_t>(n));
    }
    ::close(c);
  }

  std::string answer_;
  Pace pace_;
  int fd_ = -1;
  std::uint16_t port_ = 0;
  std::string received_;
  std::thread thread_;
};

ControllerAccess access_to(const CannedServer& s) { return ControllerAccess{s.port(), "0123abcd"}; }

TEST(ControllerExchange, GetSendsExactlyTheRequestAndReadsTheAnswer) {
  CannedServer server("HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\n{\"now\": \"srv-1\"}");
  auto reply = controller_request(access_to(server), "GET", "/proxies/proxy", std::nullopt);
  ASSERT_TRUE(reply.ok());
  EXPECT_EQ(reply->status, 200u);
  EXPECT_EQ(reply->body, "{\"now\": \"srv-1\"}");
  EXPECT_EQ(server.received(),
            "GET /proxies/proxy HTTP/1.0\r\nHost: 127.0.0.1\r\nAuthorization: Bearer 0123abcd\r\n"
            "Content-Type: application/json\r\nContent-Length: 0\r\n\r\n");
}

TEST(ControllerExchange, SelectPutsTheTagVerbatimAndCounts204AsDone) {
  CannedServer server("HTTP/1.1 204 No Content\r\n\r\n");
  EXPECT_TRUE(select_route(access_to(server), "srv-b_2").ok());
  EXPECT_EQ(server.received(),
            "PUT /proxies/proxy HTTP/1.0\r\nHost: 127.0.0.1\r\nAuthorization: Bearer 0123abcd\r\n"
            "Content-Type: application/json\r\nContent-Length: 18\r\n\r\n{\"name\":\"srv-b_2\"}");
}

TEST(ControllerExchange, SelectRefusedOutside2xx) {
  CannedServer server("HTTP/1.0 400 Bad Request\r\n\r\n{\"message\":\"Selector update error: not found\"}\n");
  auto r = select_route(access_to(server), "srv-9");
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error(), err::engine_refused);
}

TEST(ControllerExchange, DelayAsksWithTheFixedTimeout) {
  CannedServer server("HTTP/1.0 200 OK\r\n\r\n{\"delay\":87}\n");
  auto ms = measure_route_delay(access_to(server), "srv-1");
  ASSERT_TRUE(ms.ok());
  EXPECT_EQ(*ms, 87u);
  EXPECT_EQ(server.received().substr(0, 44), "GET /proxies/srv-1/delay?timeout=5000 HTTP/1");

  CannedServer failing("HTTP/1.0 503 Service Unavailable\r\n\r\n{\"message\":\"An error occurred in the delay test\"}\n");
  auto none = measure_route_delay(access_to(failing), "srv-1");
  ASSERT_TRUE(none.ok());  // not an error: no measurement
  EXPECT_EQ(*none, std::nullopt);
}

TEST(ControllerExchange, AnswerOfTwoMebibytesIsCutAtOne) {
  const std::string head = "HTTP/1.0 200 OK\r\n\r\n";
  std::string body(2 * 1048576, 'x');
  CannedServer server(head + body);
  auto reply = controller_request(access_to(server), "GET", "/proxies/proxy", std::nullopt);
  ASSERT_TRUE(reply.ok());
  EXPECT_EQ(reply->status, 200u);
  EXPECT_EQ(reply->body.size(), kControllerAnswerCap - head.size());
  EXPECT_EQ(reply->body, std::string(kControllerAnswerCap - head.size(), 'x'));
}

TEST(ControllerExchange, ClosedWithoutAnAnswerIsATransportFailure) {
  CannedServer server("");
  auto r = controller_request(access_to(server), "GET", "/proxies/proxy", std::nullopt);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error(), err::engine_unreachable);
}

TEST(ControllerExchange, SilentServerFailsWhenTheWholeExchangesLimitEnds) {
  CannedServer server("", CannedServer::Pace::silent);
  auto start = std::chrono::steady_clock::now();
  auto r = controller_request(access_to(server), "GET", "/proxies/proxy", std::nullopt,
                              controller_timeouts_within(200ms));  // receive time-out 8 s
  auto took = std::chrono::steady_clock::now() - start;
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error(), err::engine_unreachable);
  EXPECT_GE(took, 200ms);
  EXPECT_LT(took, 2s);
  // The request went out whole before the wait.
  EXPECT_NE(server.received().find("Content-Length: 0\r\n\r\n"), std::string::npos);
}

TEST(ControllerExchange, TricklingServerIsCutOffLikeASilentOne) {
  // 40 bytes at 20 ms each would take 0.8 s; the answer must be whole within 300 ms.
  CannedServer server("HTTP/1.0 200 OK\r\n\r\n{\"now\":\"srv-1\"}xxxx", CannedServer::Pace::trickle);
  ControllerTimeouts t;
  t.receive = 300ms;
  auto r = controller_request(access_to(server), "GET", "/proxies/proxy", std::nullopt, t);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error(), err::engine_unreachable);
}

TEST(ControllerExchange, RefusedConnectionFailsWithoutWaitingForTheConnectBound) {
  ControllerAccess nobody{free_loopback_port(), "x"};
  ControllerTimeouts t;
  t.connect = 30s;
  auto start = std::chrono::steady_clock::now();
  auto r = controller_request(nobody, "GET", "/proxies/proxy", std::nullopt, t);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error(), err::engine_unreachable);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
  EXPECT_EQ(current_member(nobody, "proxy"), std::nullopt);
  EXPECT_EQ(select_route(nobody, "srv-1").error(), err::engine_unreachable);
  EXPECT_EQ(measure_route_delay(nobody, "srv-1").error(), err::engine_unreachable);
}

}  // namespace
}  // namespace velk::test
