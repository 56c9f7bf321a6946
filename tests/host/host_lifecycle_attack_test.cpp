// Attacks on the host's life from outside: what a stop waits for, and
// destinations of the access log that could wedge the thread that opens it.
#include "host_test_support.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <future>
#include <sstream>
#include <string>
#include <thread>

#ifdef DRAVBRIDGE_PROGRAM
#include "program_runner.h"
#include "temp_folder.h"

#include <signal.h>
#endif

namespace hosttest {
namespace {

// A call running as the stop begins answers after it: its answer closes its
// connection as every answer from the stop on does, so that a client (a
// proxy keeping connections) sends nothing more on a connection the host
// is about to close.
TEST(HostLifecycleAttack, AnswersOfCallsRunningAsTheStopBeginsCloseTheirConnections) {
  auto bridge = std::make_shared<HoldingBridge>();
  DRAVHost::HostSettings settings = testSettings();
  settings.drainTime = 10s;
  DRAVHost::BridgeHost host(settings);
  host.addBridge("/held", bridge, "held");
  host.start();
  RawClient client(host.port());
  client.send(callRequest("m", encodeArgs(DRAVArgs()), 0, "", "/held", "held"));
  ASSERT_TRUE(bridge->waitForHeld(1));
  auto stopped = std::async(std::launch::async, [&] { return host.stop(); });
  bool draining = false;
  for (int i = 0; i < 100 && !draining; ++i) {
    RawClient probe(host.port());
    probe.send("GET /healthz HTTP/1.1\r\nHost: x\r\n\r\n");
    draining = probe.readReply().status == 503;
    if (!draining) std::this_thread::sleep_for(20ms);
  }
  ASSERT_TRUE(draining);
  bridge->release();
  const HttpReply reply = client.readReply();
  EXPECT_EQ(reply.status, 200);
  EXPECT_EQ(reply.header("Connection"), "close");
  host.hurryStop();
  EXPECT_TRUE(stopped.get().empty());
}

// Signals in quick succession: each further SIGTERM ends one more step of
// the stop, even when it comes before the stop has left the step the one
// before it ended (or before the stop has begun). A connection whose request
// head has begun holds the grace to its end unless the grace is ended.
TEST(HostLifecycleAttack, HurriesInQuickSuccessionEndTheDrainAndThenTheGrace) {
  DRAVHost::HostSettings settings = testSettings();
  settings.drainTime = 5s;
  settings.stopGrace = 5s;
  settings.headTimeout = 30s;
  SampleHost host(settings);
  RawClient slow(host.port());
  slow.send("POST /bridges/sample HTTP/1.1\r\n");
  std::this_thread::sleep_for(100ms);

  EXPECT_EQ(host.host().hurryStop(), DRAVHost::BridgeHost::StopStep::Draining);
  EXPECT_EQ(host.host().hurryStop(), DRAVHost::BridgeHost::StopStep::Grace);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(host.host().stop().empty());
  const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
  EXPECT_LT(took.count(), 3000) << "the second hurry did not end the grace";
  EXPECT_EQ(host.host().hurryStop(), DRAVHost::BridgeHost::StopStep::Ending);
}


// A kept-alive connection that waits for its next request is no running
// call: the stop closes it at once instead of waiting out the grace with it
// (a proxy keeps such connections to every upstream).
TEST(HostLifecycleAttack, StopClosesIdleKeptAliveConnectionsWithoutWaitingOutTheGrace) {
  auto settings = testSettings();
  settings.idleTimeout = 60s;
  settings.stopGrace = 20s;
  SampleHost host(settings);
  RawClient idle(host.port());
  idle.send("GET /healthz HTTP/1.1\r\nHost: x\r\n\r\n");
  ASSERT_EQ(idle.readReply().status, 200);
  RawClient midHead(host.port());
  midHead.send("GET /healthz HTTP/1.1\r\n");  // a request on its way is served yet

  auto stopped = std::async(std::launch::async, [&host] { return host.host().stop(); });
  std::this_thread::sleep_for(100ms);
  midHead.send("Host: x\r\n\r\n");
  const HttpReply reply = midHead.readReply();
  EXPECT_TRUE(idle.closedByPeer(5s));
  EXPECT_EQ(reply.status, 503);
  EXPECT_EQ(reply.header("Connection"), "close");
  ASSERT_EQ(stopped.wait_for(25s), std::future_status::ready);
  EXPECT_TRUE(stopped.get().empty());
}

// Calls whose clients send a head with "Expect: 100-continue" and then
// nothing: one waits outside its slot, the next in it (the client waits are
// taken), both having given their memory back. When their waits end, the
// first takes the memory again and waits for the slot, which the second
// holds while it waits for that memory: 100 such heads wedged a host with
// default limits until it was restarted.
TEST(HostLifecycleAttack, ClientsThatNeverSendTheirBodyCannotWedgeTheHost) {
  auto settings = testSettings();
  settings.maxRunningCalls = 1;
  settings.maxClientWaits = 1;
  settings.callMemoryBudget = settings.memoryBudget = 1024 * 1024;
  settings.transferGrace = 1s;
  SampleHost host(settings);
  const std::string args(1000, 'x');
  const std::string call = callRequest("echo", args, 0, "Expect: 100-continue\r\n");
  const std::string headOnly = call.substr(0, call.size() - args.size());
  RawClient aside(host.port()), inSlot(host.port());
  aside.send(headOnly);
  std::this_thread::sleep_for(300ms);  // its wait ends first
  inSlot.send(headOnly);
  std::this_thread::sleep_for(100ms);

  RawClient waitingInLine(host.port());
  DRAVArgs numbers;
  numbers.addArg(7);
  waitingInLine.send(callRequest("echo", encodeArgs(numbers)));
  EXPECT_NE(waitingInLine.readReply(6s).status, 0);  // 503 while the others hold the memory
  EXPECT_EQ(aside.readReply(6s).status, 408);
  EXPECT_EQ(inSlot.readReply(6s).status, 408);
  EXPECT_TRUE(normalCallServed(host));
}

// A FIFO nobody reads would block open() for good, and writes to a full one
// every call that logs.
TEST(HostLifecycleAttack, AnAccessLogNobodyReadsIsRefusedNotWaitedFor) {
  char folder[] = "/tmp/drav-fifo-XXXXXX";
  ASSERT_NE(mkdtemp(folder), nullptr);
  const std::string fifo = std::string(folder) + "/access.log";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  auto settings = testSettings();
  settings.accessLog = fifo;
  auto started = std::async(std::launch::async, [&settings] {
    try {
      DRAVHost::BridgeHost host(settings);
      return std::string("opened");
    } catch (const std::runtime_error& e) {
      return std::string(e.what());
    }
  });
  const bool answered = started.wait_for(5s) == std::future_status::ready;
  if (!answered) {
    // Let the open end so that the test's thread can be joined.
    const int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    started.wait();
    close(reader);
  }
  EXPECT_TRUE(answered);
  EXPECT_NE(started.get().find(fifo), std::string::npos);
  unlink(fifo.c_str());
  rmdir(folder);
}

#ifdef DRAVBRIDGE_PROGRAM

// Rotation that leaves a FIFO where the log was: the reopen fails, the host
// serves on into the file it had open, and SIGTERM still stops it.
TEST(HostLifecycleAttack, SighupOntoAFifoLeavesTheHostServingAndStoppable) {
  e2e::TempFolder folder;
  const std::string log = folder.file("access.log");
  e2e::BackgroundProgram bridge(DRAVBRIDGE_PROGRAM, {"--access-log", log, "--stop-grace", "2s"});
  const std::string port = bridge.waitForLine("dravbridge: listening on port ");
  ASSERT_FALSE(port.empty());
  ASSERT_EQ(rename(log.c_str(), (log + ".1").c_str()), 0);
  ASSERT_EQ(mkfifo(log.c_str(), 0600), 0);
  kill(bridge.pid(), SIGHUP);

  RawClient client(static_cast<unsigned short>(std::stoi(port)));
  client.send("GET /healthz HTTP/1.1\r\nHost: x\r\n\r\n");
  EXPECT_EQ(client.readReply().status, 200);
  const e2e::ProgramResult result = bridge.stop(5s);
  EXPECT_EQ(result.exitCode, 0);
  std::ostringstream rotated;
  rotated << std::ifstream(log + ".1").rdbuf();
  EXPECT_NE(rotated.str().find("\"/healthz\""), std::string::npos);
}

#endif

}  // namespace
}  // namespace hosttest
