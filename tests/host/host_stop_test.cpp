// Stopping a host without failing a call a client has sent: a drain in which
// /healthz says so while calls are still served, a request on its way over
// a kept-alive connection served, idle connections closed once requests on
// their way have arrived, every answer from the drain on closing its
// connection, and a call that never returns named and left behind once the
// grace is over.
#include "host_test_support.h"

#include <gtest/gtest.h>

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
