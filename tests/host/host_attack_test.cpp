// The host tried as an attacker would: heads and bodies trickled, silent and
// idle connections by the thousand, a client that never reads its answer,
// more calls than threads, calls that would take more memory than the host
// grants. Each attack is bounded in time and count, and a normal call from
// another client is served while it lasts.
#include "host_test_support.h"

#include <drav/platform/asp.h>
#include <drav/serialization/input_stream.h>

#include <gtest/gtest.h>

#include <sys/resource.h>

#include <atomic>
#include <thread>

namespace hosttest {
namespace {

using Clock = std::chrono::steady_clock;

std::string smallArgs() {
  DRAVArgs args;
  args.addArg(7);
  return encodeArgs(args);
}

std::vector<std::unique_ptr<RawClient>> connect(const SampleHost& host, int count) {
  std::vector<std::unique_ptr<RawClient>> clients;
  for (int i = 0; i < count; ++i) clients.push_back(std::make_unique<RawClient>(host.port()));
  return clients;
}

// Trickles `text` into the slow clients, a byte each every 50 ms, while
// another client calls: the host must cut every slow one within `limit`
// (its deadline and the linger after the answer, well before the trickle
// would end), answering 408 with `message`.
void expectCutWhileOthersAreServed(SampleHost& host, std::vector<std::unique_ptr<RawClient>>& slow,
                                   const std::string& text, std::chrono::milliseconds limit,
                                   const std::string& message) {
  std::atomic<bool> stop{false};
  const auto start = Clock::now();
  std::thread attack([&] {
    for (std::size_t at = 0; !stop && at < text.size(); ++at) {
      for (auto& client : slow) client->sendWhileAccepted(text.substr(at, 1), 10ms);
      std::this_thread::sleep_for(50ms);
    }
  });
  std::this_thread::sleep_for(200ms);
  EXPECT_TRUE(normalCallServed(host));
  while (host.host().statistics().activeConnections > 0 && Clock::now() - start < 5s) std::this_thread::sleep_for(10ms);
  EXPECT_LT(Clock::now() - start, limit);
  stop = true;
  attack.join();
  for (auto& client : slow) {
    const HttpReply reply = client->readReply(200ms);
    EXPECT_EQ(408, reply.status);
    EXPECT_EQ(message, reply.body);
  }
}

TEST(HostAttack, TrickledHeadsAreCutAtTheHeadDeadlineWhileOthersAreServed) {
  auto settings = testSettings();
  settings.headTimeout = 600ms;
  SampleHost host(settings);
  auto slow = connect(host, 30);
  expectCutWhileOthersAreServed(host, slow, "POST /bridges/sample HTTP/1.1\r\nHost: h\r\nX-Slow: " + std::string(100, 'z'),
                                2500ms, "the request head did not arrive in time\n");
  EXPECT_EQ(1u, host.host().statistics().requestsServed);
}

TEST(HostAttack, TrickledBodiesGet408WithinTheRateWhileOthersAreServed) {
  auto settings = testSettings();
  settings.transferGrace = 400ms;
  settings.minTransferRate = 1000;
  SampleHost host(settings);
  // Bodies the host reads ahead, and ones too large for that, which a pool thread reads.
  std::vector<std::unique_ptr<RawClient>> slow;
  for (const std::size_t size : {2000u, 2000u, 2000u, 300000u, 300000u}) {
    slow.push_back(std::make_unique<RawClient>(host.port()));
    const std::string call = callRequest("echo", std::string(size, 'b'));
    slow.back()->send(call.substr(0, call.find("\r\n\r\n") + 4));
  }
  expectCutWhileOthersAreServed(host, slow, std::string(100, 'b'), 2500ms, "the request body did not arrive in time\n");
}

// More heads whose body never comes than the host has slots and client
// waits together, in each form a body can take (a length, chunked, one
// waiting for 100 Continue, one to the host's own route): none of them holds
// a slot, so normal calls are answered at once however many there are.
TEST(HostAttack, StalledBodiesHoldNoSlotWhateverTheirNumber) {
  auto settings = testSettings();
  settings.transferGrace = 30s;  // they stay stalled for the whole test
  SampleHost host(settings);
  const std::string call = callRequest("echo", std::string(300000, 'b'));
  const std::string head = call.substr(0, call.find("\r\n\r\n") + 2);
  const std::string stalled[] = {
      head + "\r\n",
      head + "\r\n" + std::string(1000, 'b'),
      head + "Expect: 100-continue\r\n\r\n",
      "POST /bridges/sample HTTP/1.1\r\nHost: h\r\nTransfer-Encoding: chunked\r\n\r\n",
      "POST /healthz HTTP/1.1\r\nHost: h\r\nContent-Length: 300000\r\n\r\n",
  };
  const unsigned count = settings.maxRunningCalls + settings.maxClientWaits + 40;
  std::vector<std::unique_ptr<RawClient>> clients;
  for (unsigned i = 0; i < count; ++i) {
    clients.push_back(std::make_unique<RawClient>(host.port()));
    clients.back()->send(stalled[i % 5]);
  }
  std::this_thread::sleep_for(300ms);
  for (int i = 0; i < 12; ++i) {
    const auto start = Clock::now();
    ASSERT_TRUE(normalCallServed(host)) << i;
    ASSERT_LT(Clock::now() - start, 3s) << i;
  }
}

// Sleeps a second without reading its call: given up at a shorter time limit.
class SleepingBridge : public DRAVHost::BridgeHandler {
public:
  void serve(const DRAVHost::BridgeCall&, IDispatch*, IDispatch*) override { std::this_thread::sleep_for(1s); }
};

// A call whose body came after its head holds a client wait of its own; given
// up at the time limit, it gives it back (its thread, left to the bridge,
// never waits on the client again), and the bridge's return gives back no
// second one: with the only client wait, later calls whose bodies come late
// run.
TEST(HostAttack, ACallGivenUpGivesItsOwnClientWaitBackOnce) {
  auto settings = testSettings();
  settings.maxRunningCalls = 1;
  settings.maxClientWaits = 1;
  settings.callTimeLimit = 300ms;
  DRAVHost::BridgeHost host(settings);
  host.addBridge("/sleep", std::make_shared<SleepingBridge>());
  host.addBridge(kSamplePath, std::make_shared<DRAVHost::SampleBridge>(), "sample");
  host.start();
  const auto lateBody = [&](const std::string& call) {
    auto client = std::make_unique<RawClient>(host.port());
    const std::size_t headEnd = call.find("\r\n\r\n") + 4;
    client->send(call.substr(0, headEnd));
    std::this_thread::sleep_for(100ms);
    client->send(call.substr(headEnd));
    return client;
  };
  const std::string body(70000, 'b');  // more than is read with the head
  auto sleeping = lateBody(callRequest("sleep", body, 0, "", "/sleep"));
  EXPECT_EQ(504, sleeping->readReply(2s).status);
  std::this_thread::sleep_for(1s);  // the bridge has returned
  for (int i = 0; i < 2; ++i) {
    DRAVArgs args;
    args.addArg(std::string(70000, 'e'));
    auto late = lateBody(callRequest("echo", encodeArgs(args)));
    EXPECT_EQ(200, late->readReply(2s).status) << i;
  }
}

TEST(HostAttack, SilentConnectionsEndQuietlyAtTheHeadDeadline) {
  auto settings = testSettings();
  settings.headTimeout = 500ms;
  SampleHost host(settings);
  auto silent = connect(host, 100);
  EXPECT_TRUE(normalCallServed(host));
  std::this_thread::sleep_for(1500ms);
  for (auto& client : silent) {
    EXPECT_EQ("", client->readUntilQuiet(50ms)) << "closed without a word";
    EXPECT_TRUE(client->closedByPeer(50ms));
  }
  for (int i = 0; i < 100 && host.host().statistics().activeConnections > 0; ++i) std::this_thread::sleep_for(20ms);
  EXPECT_EQ(0u, host.host().statistics().activeConnections);
}

// Empty lines before a request line are no request: a kept-alive connection
// fed one now and then is closed at its idle deadline all the same.
TEST(HostAttack, EmptyLinesDoNotHoldAnIdleConnectionOpen) {
  auto settings = testSettings();
  settings.idleTimeout = 300ms;
  SampleHost host(settings);
  RawClient client(host.port());
  client.send(callRequest("echo", smallArgs()));
  ASSERT_EQ(200, client.readReply().status);
  bool closed = false;
  for (int i = 0; i < 20 && !closed; ++i) {  // an empty line each 100 ms, for 2 s
    client.sendWhileAccepted("\r\n", 10ms);
    closed = client.closedByPeer(100ms);
  }
  EXPECT_TRUE(closed);
}

TEST(HostAttack, ThousandsOfIdleConnectionsCostLittleAndHoldNoThread) {
  rlimit limit{};
  ASSERT_EQ(0, getrlimit(RLIMIT_NOFILE, &limit));
  // Both ends live in this process.
  const int count = static_cast<int>(std::min<rlim_t>(2000, (limit.rlim_cur - 200) / 2));
  ASSERT_GE(count, 400) << "too few descriptors to try";
  auto settings = testSettings();
  settings.headTimeout = 20s;
  SampleHost host(settings);
  const long before = residentKiB();
  auto idle = connect(host, count);
  for (int i = 0; i < 250 && host.host().statistics().activeConnections < unsigned(count); ++i)
    std::this_thread::sleep_for(20ms);
  ASSERT_EQ(unsigned(count), host.host().statistics().activeConnections);
  EXPECT_TRUE(normalCallServed(host));
  const long grown = residentKiB() - before;
  EXPECT_LT(grown, count * 3 + 2048) << "KiB for " << count << " idle connections";
  std::printf("%d idle connections: %ld KiB more resident memory\n", count, grown);
}

TEST(HostAttack, AClientThatDoesNotReadABufferedAnswerIsCutByTheRate) {
  auto settings = testSettings();
  settings.responseBufferLimit = 40 * 1024 * 1024;
  settings.transferGrace = 300ms;
  settings.minTransferRate = 16 * 1024 * 1024;
  SampleHost host(settings);
  DRAVArgs args;
  args.addArg(32 * 1024 * 1024);
  RawClient stuck(host.port(), "127.0.0.1", 4096);
  stuck.send(callRequest("generateBinary", encodeArgs(args)));
  const auto start = Clock::now();
  std::this_thread::sleep_for(500ms);
  EXPECT_TRUE(normalCallServed(host));
  for (int i = 0; i < 250 && host.host().statistics().activeConnections > 0; ++i) std::this_thread::sleep_for(20ms);
  EXPECT_EQ(0u, host.host().statistics().activeConnections);
  EXPECT_LT(Clock::now() - start, 5s);
  EXPECT_EQ(0, stuck.readReply(2s).status) << "the answer was cut, never whole";
}

// A call that waits for a body which never comes would keep a pool thread
// until its transfer deadline: stopping the host cuts it once the grace is over.
TEST(HostAttack, AStopCutsACallStillWaitingForItsBodyOnceTheGraceIsOver) {
  auto settings = testSettings();
  settings.stopGrace = 300ms;
  settings.transferGrace = 30s;
  settings.minTransferRate = 0;
  auto host = std::make_unique<SampleHost>(settings);
  RawClient stalled(host->port());
  const std::string call = callRequest("echo", std::string(300000, 'b'));
  stalled.send(call.substr(0, call.find("\r\n\r\n") + 4 + 1000));
  std::this_thread::sleep_for(300ms);
  const auto start = Clock::now();
  host.reset();
  const auto stopping = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
  EXPECT_GE(stopping, 300) << "the running call had its grace";
  EXPECT_LT(stopping, 3000);
  EXPECT_TRUE(stalled.closedByPeer(1s));
}

// A call the host had taken and that waits in line when the stop comes runs
// once a slot frees up within the grace; one still waiting at the grace's
// end is turned away with a word of why, and never runs.
TEST(HostAttack, ACallWaitingInLineWhenTheHostStopsRunsWithinTheGraceOrIsTurnedAway) {
  for (const bool slotFreesUp : {true, false}) {
    auto settings = testSettings();
    settings.maxRunningCalls = 1;
    settings.stopGrace = slotFreesUp ? 2s : 500ms;
    auto host = std::make_unique<DRAVHost::BridgeHost>(settings);
    auto holding = std::make_shared<HoldingBridge>();
    host->addBridge("/hold", holding);
    host->start();
    const std::string call = callRequest("wait", smallArgs(), 0, "", "/hold");
    RawClient running(host->port()), waiting(host->port());
    running.send(call);
    ASSERT_TRUE(holding->waitForHeld(1));
    waiting.send(call);
    std::this_thread::sleep_for(100ms);
    std::thread stopper([&] { host->stop(); });
    std::this_thread::sleep_for(200ms);
    if (slotFreesUp) holding->release();  // within the grace: the running call ends, its slot frees up
    stopper.join();
    const HttpReply last = waiting.readReply(1s);
    EXPECT_EQ("close", last.header("Connection")) << slotFreesUp;
    if (slotFreesUp) {
      EXPECT_EQ(2, holding->served());
      EXPECT_EQ(200, running.readReply(2s).status);
      EXPECT_EQ(200, last.status);
    } else {
      EXPECT_EQ(1, holding->served());
      EXPECT_EQ(503, last.status);
      EXPECT_EQ("1", last.header("Retry-After"));
      EXPECT_EQ("the host is stopping; try another or again shortly\n", last.body);
      holding->release();
      host.reset();
    }
    EXPECT_TRUE(waiting.closedByPeer(1s));
  }
}

TEST(HostAttack, CallsBeyondThePoolWaitInLineAndBeyondTheLineGet503AtOnce) {
  auto settings = testSettings();
  settings.maxRunningCalls = 1;
  settings.maxWaitingCalls = 1;
  settings.retryAfterSeconds = 2;
  DRAVHost::BridgeHost host(settings);
  auto holding = std::make_shared<HoldingBridge>();
  host.addBridge("/hold", holding);
  host.start();
  const std::string call = callRequest("wait", smallArgs(), 0, "", "/hold");
  RawClient running(host.port()), waiting(host.port()), refused(host.port());
  running.send(call);
  ASSERT_TRUE(holding->waitForHeld(1));
  waiting.send(call);
  std::this_thread::sleep_for(100ms);
  const auto start = Clock::now();
  refused.send(call);
  const HttpReply busy = refused.readReply(2s);
  EXPECT_LT(Clock::now() - start, 1s);
  EXPECT_EQ(503, busy.status);
  EXPECT_EQ("2", busy.header("Retry-After"));
  EXPECT_EQ("the host is busy; try again shortly\n", busy.body);
  EXPECT_EQ("", busy.header("Connection")) << "the body was read: the connection stays";
  holding->release();
  EXPECT_EQ(200, running.readReply().status);
  EXPECT_EQ(200, waiting.readReply().status);
  refused.send(call);
  EXPECT_EQ(200, refused.readReply().status);
  const auto statistics = host.statistics();
  EXPECT_EQ(1u, statistics.requestsRefused);
  EXPECT_EQ(3u, statistics.requestsServed);
}

TEST(HostAttack, ACallThatHoldsItsLoopLeavesTheLoopsOtherConnectionsServed) {
  auto settings = testSettings();
  settings.eventLoops = 1;  // every connection, and the listener, on the held loop
  settings.maxRunningCalls = 2;
  DRAVHost::BridgeHost host(settings);
  auto holding = std::make_shared<HoldingBridge>();
  host.addBridge("/hold", holding);
  host.addBridge(kSamplePath, std::make_shared<DRAVHost::SampleBridge>());
  host.start();
  const std::string echo = callRequest("echo", smallArgs());
  RawClient kept(host.port()), running(host.port());
  kept.send(echo);
  ASSERT_EQ(200, kept.readReply().status);
  running.send(callRequest("wait", smallArgs(), 0, "", "/hold"));
  ASSERT_TRUE(holding->waitForHeld(1));
  // Both the kept-alive connection and a new one are served while the call holds on.
  kept.send(echo);
  EXPECT_EQ(200, kept.readReply(2s).status);
  RawClient fresh(host.port());
  fresh.send(echo);
  EXPECT_EQ(200, fresh.readReply(2s).status);
  holding->release();
  EXPECT_EQ(200, running.readReply().status);
  // The lent thread went back: the loop serves on as before.
  fresh.send(echo);
  EXPECT_EQ(200, fresh.readReply().status);
}

// Answers with as many bytes as its method name says, buffered by the host.
class BufferingBridge : public DRAVHost::BridgeHandler {
public:
  void serve(const DRAVHost::BridgeCall& call, IDispatch*, IDispatch* response) override {
    DRAVHelpers::IIS::IResponse* page = nullptr;
    response->QueryInterface(DRAVHelpers::IIS::IID_IResponse, reinterpret_cast<void**>(&page));
    VARIANT data;
    VariantInit(&data);
    data.vt = VT_ARRAY | VT_UI1;
    SAFEARRAYBOUND bound = {static_cast<ULONG>(std::stoul(call.methodName)), 0};
    data.parray = SafeArrayCreate(VT_UI1, 1, &bound);
    const HRESULT written = page->BinaryWrite(data);
    VariantClear(&data);
    page->Release();
    if (FAILED(written)) throw std::runtime_error("the answer could not be written");
  }
};

TEST(HostMemory, ACallThatWouldPassItsShareGets413AndOneThatFindsTheHostSpent503) {
  auto settings = testSettings();
  settings.callMemoryBudget = 1024 * 1024;
  settings.memoryBudget = 1024 * 1024;  // one call at a time
  settings.maxRunningCalls = 2;
  DRAVHost::BridgeHost host(settings);
  auto holding = std::make_shared<HoldingBridge>();
  host.addBridge("/hold", holding);
  host.addBridge("/buffer", std::make_shared<BufferingBridge>());
  host.addBridge(kSamplePath, std::make_shared<DRAVHost::SampleBridge>());
  host.start();

  RawClient client(host.port());
  // Ten argument bytes held: the answer may take the rest of the share, not a byte more.
  client.send(callRequest("1048567", "0123456789", 0, "", "/buffer"));
  HttpReply reply = client.readReply();
  EXPECT_EQ(413, reply.status);
  EXPECT_EQ("the answer takes more than the 1048576 bytes a call may hold; raise call_memory_budget in [limits] "
            "(--call-memory-budget)\n",
            reply.body);
  client.send(callRequest("1048566", "0123456789", 0, "", "/buffer"));
  reply = client.readReply();
  EXPECT_EQ(200, reply.status);
  EXPECT_EQ(1048566u, reply.body.size());
  // Arguments larger than the share are refused before they are read.
  client.send(callRequest("echo", std::string(1024 * 1024 + 1, 'x')));
  reply = client.readReply();
  EXPECT_EQ(413, reply.status);
  EXPECT_EQ("the arguments take more than the 1048576 bytes a call may hold; raise call_memory_budget in [limits] "
            "(--call-memory-budget)\n",
            reply.body);

  RawClient holder(host.port());
  holder.send(callRequest("wait", smallArgs(), 0, "", "/hold"));
  ASSERT_TRUE(holding->waitForHeld(1));
  RawClient other(host.port());
  other.send(callRequest("echo", smallArgs()));
  reply = other.readReply();
  EXPECT_EQ(503, reply.status);
  EXPECT_EQ("1", reply.header("Retry-After"));
  EXPECT_EQ("the host's memory is taken by running calls; try again shortly\n", reply.body);
  holding->release();
  EXPECT_EQ(200, holder.readReply().status);
  // The share comes back as the held call ends, a moment after its answer went out.
  int status = 0;
  for (int attempt = 0; attempt < 50 && status != 200; ++attempt) {
    if (attempt > 0) std::this_thread::sleep_for(20ms);
    other.send(callRequest("echo", smallArgs()));
    status = other.readReply().status;
  }
  EXPECT_EQ(200, status) << "the share came back";
}

// Whether the library's decoders charge a decode budget yet.
bool decodingIsBudgeted() {
  DRAVArgs many;
  for (int i = 0; i < 100; ++i) many.addArg(std::string("value"));
  const std::string bytes = encodeArgs(many);
  DRAVDataInputStream in(reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<unsigned long>(bytes.size()));
  DRAVDecodeBudget budget(16);
  in.setBudget(&budget);
  DRAVArgs decoded;
  try {
    decoded.readObject(in);
  } catch (const std::exception&) {
  }
  return budget.exceeded();
}

TEST(HostMemory, ArgumentsThatDecodeBeyondTheShareGet413NotA400) {
  if (!decodingIsBudgeted()) GTEST_SKIP() << "the library's decoders do not charge a decode budget yet";
  auto settings = testSettings();
  settings.callMemoryBudget = 4 * 1024 * 1024;
  SampleHost host(settings);
  // 2-byte Empty values: a small body whose values take far more memory decoded.
  DRAVArgs empties;
  for (int i = 0; i < 200000; ++i) empties.addArg(DRAVVar());
  const std::string body = encodeArgs(empties);
  ASSERT_LT(body.size(), 512u * 1024);
  RawClient client(host.port());
  client.send(callRequest("echo", body));
  const HttpReply reply = client.readReply();
  EXPECT_EQ(413, reply.status);
  EXPECT_EQ("decoding the arguments takes more than the 4194304 bytes a call may hold; raise call_memory_budget in [limits] "
            "(--call-memory-budget)\n",
            reply.body);
  EXPECT_TRUE(normalCallServed(host));
}

}  // namespace
}  // namespace hosttest
