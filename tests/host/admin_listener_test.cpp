// The admin listener: /metrics and /healthz there and nothing else, no
// /metrics on the bridge listener, and the listener tried as an attacker
// would (a flood of connections, trickled heads) while bridge calls go on.
#include "host_test_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace hosttest {
namespace {

using Clock = std::chrono::steady_clock;

DRAVHost::HostSettings adminSettings() {
  auto settings = testSettings();
  settings.admin.enabled = true;
  settings.headTimeout = 600ms;
  return settings;
}

std::string adminUrl(SampleHost& host, const std::string& path) {
  return "http://127.0.0.1:" + std::to_string(host.host().adminPort()) + path;
}

TEST(AdminListener, ServesMetricsAndHealthzAndNothingElse) {
  SampleHost plain;
  EXPECT_EQ(0, plain.host().adminPort());
  CurlClient client;
  EXPECT_EQ(404, client.get(plain.url("/metrics")).status) << "no metrics for the clients of bridges";

  SampleHost host(adminSettings());
  ASSERT_NE(0, host.host().adminPort());
  EXPECT_NE(host.port(), host.host().adminPort());
  const HttpReply metrics = client.get(adminUrl(host, "/metrics"));
  EXPECT_EQ(200, metrics.status);
  EXPECT_EQ("text/plain; version=0.0.4; charset=utf-8", metrics.header("Content-Type"));
  EXPECT_EQ(0u, metrics.body.find("# HELP drav_host_calls_total ")) << metrics.body;
  const HttpReply health = client.get(adminUrl(host, "/healthz"));
  EXPECT_EQ(200, health.status);
  EXPECT_EQ("ok\n", health.body);
  EXPECT_EQ(404, client.get(host.url("/metrics")).status);
  EXPECT_EQ(200, client.get(host.url("/healthz")).status);

  RawClient raw(host.host().adminPort());
  raw.send("POST /metrics HTTP/1.1\r\nHost: h\r\nContent-Length: 0\r\n\r\n");
  const HttpReply post = raw.readReply();
  EXPECT_EQ(405, post.status);
  EXPECT_EQ("GET, HEAD", post.header("Allow"));
  raw.send("GET /bridges/sample HTTP/1.1\r\nHost: h\r\n\r\n");
  const HttpReply bridge = raw.readReply();
  EXPECT_EQ(404, bridge.status) << "no bridge is served there";
  EXPECT_EQ("no bridge at /bridges/sample\n", bridge.body);
  raw.send(callRequest("echo", "x"));
  const HttpReply call = raw.readReply();
  EXPECT_EQ(413, call.status) << "requests there carry no body";
  EXPECT_EQ("the request body is larger than this host accepts\n", call.body);
}

TEST(AdminListener, OptionsOfTheWholeListenerNamesOnlyTheMethodsItServes) {
  SampleHost host(adminSettings());
  RawClient raw(host.host().adminPort());
  raw.send("OPTIONS * HTTP/1.1\r\nHost: h\r\n\r\n");
  const HttpReply options = raw.readReply();
  EXPECT_EQ(200, options.status);
  EXPECT_EQ("GET, HEAD, OPTIONS", options.header("Allow")) << "no target there takes a POST";
}

TEST(AdminListener, APortTakenAlreadyFailsTheStartWithTheReason) {
  SampleHost busy;
  auto settings = adminSettings();
  settings.admin.port = busy.port();
  DRAVHost::BridgeHost host(settings);
  try {
    host.start();
    ADD_FAILURE() << "started on a port in use";
  } catch (const std::runtime_error& e) {
    EXPECT_EQ("cannot listen on 127.0.0.1:" + std::to_string(busy.port()) + " (admin): Address already in use",
              std::string(e.what()));
  }
  EXPECT_EQ(0, host.adminPort());
}

TEST(AdminListener, ListensOnItsOwnAddressAndNamesOneThatIsNone) {
  auto settings = adminSettings();
  settings.admin.address = "127.0.0.2";
  SampleHost host(settings);
  CurlClient client;
  const std::string port = std::to_string(host.host().adminPort());
  EXPECT_EQ(200, client.get("http://127.0.0.2:" + port + "/healthz").status);
  EXPECT_EQ(0, client.get("http://127.0.0.1:" + port + "/healthz").status) << "nothing listens there";

  settings.admin.address = "admin.example";
  DRAVHost::BridgeHost named(settings);
  try {
    named.start();
    ADD_FAILURE() << "started on a name";
  } catch (const std::runtime_error& e) {
    EXPECT_EQ("admin listener: not an IP address: 'admin.example'", std::string(e.what()));
  }
}

TEST(AdminListener, IdleConnectionsGiveWayToAScrape) {
  auto settings = adminSettings();
  settings.headTimeout = 5s;
  settings.idleTimeout = 5s;
  SampleHost host(settings);
  std::vector<std::unique_ptr<RawClient>> idle;
  for (int i = 0; i < 4; ++i) idle.push_back(std::make_unique<RawClient>(host.host().adminPort()));
  std::this_thread::sleep_for(100ms);
  for (int i = 0; i < 3; ++i) {
    CurlClient scraper;
    const auto start = Clock::now();
    EXPECT_EQ(200, scraper.get(adminUrl(host, "/metrics")).status) << i;
    EXPECT_LT(Clock::now() - start, 1s) << "well before the idle ones time out";
  }
  int closed = 0;
  for (auto& client : idle) closed += client->closedByPeer(100ms) ? 1 : 0;
  EXPECT_GE(closed, 1) << "idle connections made room";
  EXPECT_LE(closed, 3) << "one for each scrape at most";
}

// Each new idle connection takes the place of the one idle longest, never
// that of a scrape whose request is on its way.
TEST(AdminListener, ScrapesGetInThroughAFloodOfIdleConnections) {
  auto settings = adminSettings();
  settings.headTimeout = 5s;
  settings.idleTimeout = 5s;
  SampleHost host(settings);
  std::atomic<bool> stop{false};
  std::thread flood([&] {
    std::vector<std::unique_ptr<RawClient>> idle;
    for (int i = 0; i < 400 && !stop; ++i) {
      idle.push_back(std::make_unique<RawClient>(host.host().adminPort()));
      if (idle.size() > 40) idle.erase(idle.begin(), idle.begin() + 20);
      std::this_thread::sleep_for(5ms);
    }
  });
  std::this_thread::sleep_for(100ms);
  for (int i = 0; i < 15; ++i) {
    RawClient scraper(host.host().adminPort());
    scraper.send("GET /metrics HTTP/1.1\r\nHost: h\r\n\r\n");
    EXPECT_EQ(200, scraper.readReply(2s).status) << i;
    std::this_thread::sleep_for(20ms);
  }
  stop = true;
  flood.join();
}

// Connections that send a byte of a head and no more give way to a scrape as
// idle ones do, the one begun longest first: they cannot hold every place
// for the head timeout.
TEST(AdminListener, BegunHeadsGiveWayToScrapesWhileBridgeCallsGoOn) {
  auto settings = adminSettings();
  settings.admin.maxConnections = 4;
  settings.headTimeout = 10s;
  SampleHost host(settings);
  std::vector<std::unique_ptr<RawClient>> begun;
  for (int i = 0; i < 4; ++i) {
    begun.push_back(std::make_unique<RawClient>(host.host().adminPort()));
    begun.back()->send("G");
    std::this_thread::sleep_for(20ms);
  }
  std::this_thread::sleep_for(100ms);
  const auto start = Clock::now();
  for (int i = 0; i < 13; ++i) {
    RawClient scraper(host.host().adminPort());
    scraper.send("GET /metrics HTTP/1.1\r\nHost: h\r\n\r\n");
    EXPECT_EQ(200, scraper.readReply(1s).status) << i;
  }
  EXPECT_LT(Clock::now() - start, 3s) << "long before the head timeout";
  EXPECT_TRUE(begun.front()->closedByPeer(1s)) << "the one begun longest made room";
  EXPECT_TRUE(normalCallServed(host));
  EXPECT_EQ(0u, host.host().statistics().connectionsRefused) << "the bridge listener's bound is its own";
}

TEST(AdminListener, TrickledHeadsAreCutAtTheHeadDeadlineWhileBridgeCallsGoOn) {
  SampleHost host(adminSettings());
  std::vector<std::unique_ptr<RawClient>> slow;
  for (int i = 0; i < 4; ++i) slow.push_back(std::make_unique<RawClient>(host.host().adminPort()));
  const std::string head = "GET /metrics HTTP/1.1\r\nHost: h\r\nX-Slow: " + std::string(100, 'z');
  std::atomic<bool> stop{false};
  const auto start = Clock::now();
  std::thread attack([&] {
    for (std::size_t at = 0; !stop && at < head.size(); ++at) {
      for (auto& client : slow) client->sendWhileAccepted(head.substr(at, 1), 10ms);
      std::this_thread::sleep_for(50ms);
    }
  });
  std::this_thread::sleep_for(200ms);
  EXPECT_TRUE(normalCallServed(host));
  for (auto& client : slow) {
    const HttpReply reply = client->readReply(2s);
    EXPECT_EQ(408, reply.status);
    EXPECT_EQ("the request head did not arrive in time\n", reply.body);
  }
  EXPECT_LT(Clock::now() - start, 2500ms) << "well before the trickle would end (6 s)";
  stop = true;
  attack.join();
  CurlClient scraper;
  EXPECT_EQ(200, scraper.get(adminUrl(host, "/metrics")).status);
}

}  // namespace
}  // namespace hosttest
