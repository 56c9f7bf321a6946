// Stopping a host without failing a call a client has sent: a drain in which
// /healthz says so while calls are still served, a request on its way over
// a kept-alive connection served, idle connections closed once requests on
// their way have arrived and calls have ended, every answer from the drain
// on closing its connection, and a call that never returns named and left
// behind once the grace is over.
#include "host_test_support.h"

#include <gtest/gtest.h>

#include <sys/resource.h>

#include <algorithm>
#include <memory>
#include <regex>
#include <thread>

namespace hosttest {
namespace {

using Clock = std::chrono::steady_clock;

std::string smallCall(const std::string& path = kSamplePath) {
  DRAVArgs args;
  args.addArg(7);
  return callRequest(path == kSamplePath ? "echo" : "wait", encodeArgs(args), 0, "", path);
}

// One event loop, which takes every request up in turn, kept-alive
// connections that do not time out, and a grace longer than any test here.
DRAVHost::HostSettings oneLoopSettings() {
  auto settings = testSettings();
  settings.eventLoops = 1;
  settings.idleTimeout = 20s;
  settings.stopGrace = 5s;
  return settings;
}

// Up to `most` kept-alive connections (as many as half the descriptors left
// allow), each with `request` sent and answered 404.
std::vector<std::unique_ptr<RawClient>> keptAlive(unsigned short port, int most, const std::string& request) {
  rlimit limit{};
  EXPECT_EQ(0, getrlimit(RLIMIT_NOFILE, &limit));
  const int count = static_cast<int>(std::min<rlim_t>(most, (limit.rlim_cur - 200) / 2));
  std::vector<std::unique_ptr<RawClient>> clients;
  for (int i = 0; i < count; ++i) {
    clients.push_back(std::make_unique<RawClient>(port));
    clients.back()->send(request);
    if (clients.back()->readReply().status != 404) {
      ADD_FAILURE() << "connection " << i << " was not served";
      break;
    }
  }
  return clients;
}

TEST(HostStop, ACallOnItsWayIsAnsweredWithCloseAndIdleConnectionsDoNotHoldTheStop) {
  auto settings = testSettings();
  settings.idleTimeout = 20s;
  settings.stopGrace = 6s;
  settings.drainTime = 300ms;  // the stop has begun when the call comes
  SampleHost host(settings);
  RawClient kept(host.port()), idle(host.port());
  for (RawClient* client : {&kept, &idle}) {
    client->send(smallCall());
    const HttpReply reply = client->readReply();
    ASSERT_EQ(200, reply.status);
    ASSERT_EQ("", reply.header("Connection"));
  }
  RawClient silent(host.port());  // never sends a byte

  const auto start = Clock::now();
  std::thread stopper([&] { host.host().stop(); });
  std::this_thread::sleep_for(100ms);
  // The client may have sent this as the stop began: it is served, and told the connection ends.
  kept.send(smallCall());
  const HttpReply reply = kept.readReply();
  EXPECT_EQ(200, reply.status);
  EXPECT_EQ("close", reply.header("Connection"));
  EXPECT_TRUE(kept.closedByPeer(2s));
  EXPECT_TRUE(idle.closedByPeer(2s));
  EXPECT_TRUE(silent.closedByPeer(2s));
  stopper.join();
  EXPECT_LT(Clock::now() - start, 1500ms) << "the stop ends with the drain and a moment, not at any time-out";
}

// While calls still run (one in its bridge, one waiting for the rest of its
// body outside its slot), the stop waits anyway: a request a proxy sends
// down one of its kept-alive connections then is served, not met by a close
// it could not foresee; the idle connections close once the calls have ended.
TEST(HostStop, KeptConnectionsAreServedWhileACallStillRuns) {
  auto settings = testSettings();
  settings.idleTimeout = 20s;
  settings.stopGrace = 6s;
  DRAVHost::BridgeHost host(settings);
  auto held = std::make_shared<HoldingBridge>();
  host.addBridge("/held", held);
  host.addBridge(kSamplePath, std::make_shared<DRAVHost::SampleBridge>(DRAVHost::SampleBridgeLimits()), "sample");
  host.start();
  const std::string health = "GET /healthz HTTP/1.1\r\nHost: h\r\n\r\n";
  RawClient kept(host.port()), idle(host.port()), running(host.port()), slow(host.port());
  for (RawClient* client : {&kept, &idle}) {
    client->send(health);
    ASSERT_EQ(200, client->readReply().status);
  }
  running.send(callRequest("wait", encodeArgs(DRAVArgs()), 0, "", "/held"));
  ASSERT_TRUE(held->waitForHeld(1));
  DRAVArgs large;
  large.addArg(std::string(200000, 'v'));
  const std::string echo = callRequest("echo", encodeArgs(large));
  const std::size_t firstPart = echo.find("\r\n\r\n") + 4 + 1000;
  slow.send(echo.substr(0, firstPart));

  std::thread stopper([&] { host.stop(); });
  std::this_thread::sleep_for(400ms);
  kept.send(health);
  const HttpReply reply = kept.readReply(2s);
  EXPECT_EQ(503, reply.status) << "served, as a stopping host answers /healthz";
  EXPECT_EQ("close", reply.header("Connection"));
  EXPECT_FALSE(idle.closedByPeer(100ms)) << "closed while a call still held the stop";

  const auto released = Clock::now();
  held->release();
  EXPECT_EQ(200, running.readReply(2s).status);
  EXPECT_FALSE(idle.closedByPeer(100ms)) << "closed while a call still waited for its body";
  slow.send(echo.substr(firstPart));
  EXPECT_EQ(200, slow.readReply(2s).status);
  EXPECT_TRUE(idle.closedByPeer(2s));
  stopper.join();
  EXPECT_LT(Clock::now() - released, 1500ms) << "the stop ends with the call, not at the grace";
}

// Idle connections close 100 ms after the listener at the earliest: requests
// sent before that are all served, however many the loop has still to take
// up when the close comes (what the host has read of one is never dropped).
TEST(HostStop, RequestsSentBeforeIdleConnectionsCloseAreAllServed) {
  SampleHost host(oneLoopSettings());
  const std::string request = "GET /nothing HTTP/1.1\r\nHost: h\r\n\r\n";
  const std::vector<std::unique_ptr<RawClient>> clients = keptAlive(host.port(), 1000, request);
  ASSERT_FALSE(HasFailure());
  const auto start = Clock::now();
  std::thread stopper([&] { host.host().stop(); });
  std::this_thread::sleep_for(80ms);
  std::vector<RawClient*> sent;
  for (auto& client : clients) {
    if (Clock::now() - start >= 95ms) break;
    client->send(request);
    sent.push_back(client.get());
  }
  std::size_t answered = 0;
  for (RawClient* client : sent) answered += client->readReply(2s).status == 404;
  stopper.join();
  if (sent.size() < 100) GTEST_SKIP() << "too few requests sent in time to tell";
  EXPECT_EQ(sent.size(), answered);
}

// Requests that kept-alive connections had received, but that the loop had
// not yet taken up when the last call ended and idle connections closed, are
// read to their end: the rest of each comes after the close (a proxy passes
// a head on as it comes, and a body after it), and is not taken for the
// client's end.
TEST(HostStop, RequestsBegunBeforeIdleConnectionsCloseAreReadToTheirEnd) {
  DRAVHost::BridgeHost host(oneLoopSettings());
  auto held = std::make_shared<HoldingBridge>();
  host.addBridge("/held", held);
  host.start();
  // A head of some size, so that the loop has work to take each up.
  const std::string firstPart = "GET /nothing HTTP/1.1\r\nX-Filler: " + std::string(2000, 'f') + "\r\n";
  const std::string rest = "Host: h\r\n\r\n";
  const std::vector<std::unique_ptr<RawClient>> clients = keptAlive(host.port(), 2000, firstPart + rest);
  ASSERT_FALSE(HasFailure());
  const int count = static_cast<int>(clients.size());
  RawClient running(host.port());
  running.send(callRequest("wait", encodeArgs(DRAVArgs()), 0, "", "/held"));
  ASSERT_TRUE(held->waitForHeld(1));
  std::thread stopper([&] { host.stop(); });
  std::this_thread::sleep_for(300ms);
  for (auto& client : clients) client->send(firstPart);
  held->release();  // idle connections close a moment after, while the loop still takes the heads up
  EXPECT_EQ(200, running.readReply(2s).status);
  std::this_thread::sleep_for(300ms);
  for (auto& client : clients) client->send(rest);
  int answered = 0;
  for (auto& client : clients) answered += client->readReply(2s).status == 404;
  stopper.join();
  EXPECT_EQ(count, answered);
}

TEST(HostStop, WhileDrainingHealthzSays503AndCallsAreServedWithClose) {
  auto settings = testSettings();
  settings.drainTime = 1500ms;
  settings.admin.enabled = true;
  SampleHost host(settings);
  std::thread stopper([&] { host.host().stop(); });
  std::this_thread::sleep_for(200ms);
  for (const unsigned short port : {host.port(), host.host().adminPort()}) {
    RawClient health(port);
    health.send("GET /healthz HTTP/1.1\r\nHost: h\r\n\r\n");
    const HttpReply reply = health.readReply();
    EXPECT_EQ(503, reply.status) << port;
    EXPECT_EQ("stopping\n", reply.body);
  }
  RawClient caller(host.port());  // still listening
  caller.send(smallCall());
  const HttpReply reply = caller.readReply();
  EXPECT_EQ(200, reply.status);
  EXPECT_EQ("close", reply.header("Connection"));
  stopper.join();
}

TEST(HostStop, ACallThatNeverReturnsIsNamedAndLeftBehindOnceTheGraceIsOver) {
  auto settings = testSettings();
  settings.stopGrace = 500ms;
  settings.trustedProxies = {"127.0.0.1"};
  auto host = std::make_unique<DRAVHost::BridgeHost>(settings);
  auto stuck = std::make_shared<HoldingBridge>();  // holds for 10 s: "never", for a stop
  host->addBridge("/stuck", stuck);
  host->start();
  RawClient client(host->port());
  client.send("GET /healthz HTTP/1.1\r\nHost: h\r\n\r\n");  // a request that ended is not named
  ASSERT_EQ(200, client.readReply().status);
  DRAVArgs args;
  client.send(callRequest("wait\xff", encodeArgs(args), 0, "X-Forwarded-For: 10.9.8.7\r\n", "/stuck"));
  ASSERT_TRUE(stuck->waitForHeld(1));

  const auto start = Clock::now();
  const std::vector<std::string> abandoned = host->stop();
  const auto took = Clock::now() - start;
  EXPECT_GE(took, 500ms) << "the call had its grace";
  EXPECT_LT(took, 5s) << "the grace, a moment after the cut, and no more";
  ASSERT_EQ(1u, abandoned.size());
  EXPECT_TRUE(std::regex_match(abandoned[0], std::regex(R"("/stuck" "wait\\xFF" from 10\.9\.8\.7, running for \d s)")))
      << abandoned[0];
  EXPECT_TRUE(client.closedByPeer(1s)) << "its connection was cut";
  host.reset();  // its threads are left behind, not waited for
  EXPECT_LT(Clock::now() - start, 6s);
  stuck->release();
}

}  // namespace
}  // namespace hosttest
