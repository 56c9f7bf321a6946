// What slow clients and large answers may take of the host: an idle
// connection's memory whatever its last request, call slots while a call
// waits on its client, /healthz beside busy slots, and the copies an answer
// holds. Each attack is bounded in time and count.
#include "host_test_support.h"

#include "host/server/request_slots.h"

#include <gtest/gtest.h>

#include <atomic>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

// gcc says it builds with the address sanitizer one way, clang another.
#if defined(__SANITIZE_ADDRESS__)
#define DRAV_HOST_TEST_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define DRAV_HOST_TEST_ASAN 1
#endif
#endif
#ifdef DRAV_HOST_TEST_ASAN
extern "C" std::size_t __sanitizer_get_current_allocated_bytes();  // the sanitizer's run-time
#endif

namespace hosttest {
namespace {

using Clock = std::chrono::steady_clock;
using DRAVHost::RequestSlots;

std::string smallArgs() {
  DRAVArgs args;
  args.addArg(7);
  return encodeArgs(args);
}

// The head alone of a call whose body of `size` bytes (arguments) is never sent.
std::string headOfCall(std::size_t size, const std::string& extraHeaders = std::string()) {
  const std::string call = callRequest("echo", std::string(size, 'b'), 0, extraHeaders);
  return call.substr(0, call.find("\r\n\r\n") + 4);
}

// The heap this process holds, in KiB: its resident memory, or under the
// address sanitizer (which keeps freed blocks in quarantine) what it counts
// as allocated.
long heldKiB() {
#ifdef DRAV_HOST_TEST_ASAN
  return static_cast<long>(__sanitizer_get_current_allocated_bytes() / 1024);
#else
  return residentKiB();
#endif
}

// How long a normal call on a connection of its own takes; max() when unanswered.
Clock::duration normalCallTime(const SampleHost& host) {
  const auto start = Clock::now();
  return normalCallServed(host) ? Clock::now() - start : Clock::duration::max();
}

TEST(RequestSlots, ACallWaitingOnItsClientGivesItsSlotToTheFirstInLineAndComesBackFirst) {
  RequestSlots slots(1, 4, 1);
  ASSERT_EQ(RequestSlots::Admission::Run, slots.admit({}));
  int started = 0;
  ASSERT_EQ(RequestSlots::Admission::Waiting, slots.admit([&](bool) { ++started; }));
  RequestSlots::Job next;
  ASSERT_TRUE(slots.stepAside(next));
  ASSERT_TRUE(next);
  next(true);
  EXPECT_EQ(1, started) << "the slot went to the first in line";
  EXPECT_EQ(1u, slots.running());
  EXPECT_EQ(1u, slots.clientWaits());
  RequestSlots::Job again;
  EXPECT_FALSE(slots.stepAside(again)) << "one client wait, taken";

  // Back from its wait, the call takes the next free slot before the line.
  ASSERT_EQ(RequestSlots::Admission::Waiting, slots.admit([&](bool) { started += 10; }));
  std::atomic<bool> back{false};
  std::thread returning([&] {
    EXPECT_FALSE(slots.stepBack());
    back = true;
  });
  std::this_thread::sleep_for(50ms);
  EXPECT_FALSE(back) << "every slot is taken";
  EXPECT_FALSE(slots.release()) << "the free slot goes to the call coming back";
  returning.join();
  EXPECT_EQ(1, started);
  EXPECT_EQ(1u, slots.running());
  EXPECT_EQ(0u, slots.clientWaits());
  RequestSlots::Job line = slots.release();
  ASSERT_TRUE(line);
  line(true);
  EXPECT_EQ(11, started);
}

TEST(RequestSlots, ACallComingBackStartsTheLineWhenItFindsMoreThanOneSlotFree) {
  RequestSlots slots(2, 4, 1);
  ASSERT_EQ(RequestSlots::Admission::Run, slots.admit({}));
  ASSERT_EQ(RequestSlots::Admission::Run, slots.admit({}));
  RequestSlots::Job next;
  ASSERT_TRUE(slots.stepAside(next));
  EXPECT_FALSE(next) << "nobody in line: the slot is free";
  ASSERT_EQ(RequestSlots::Admission::Run, slots.admit({}));
  ASSERT_EQ(RequestSlots::Admission::Waiting, slots.admit([](bool) {}));
  RequestSlots::Job fromReturn;
  std::thread returning([&] { fromReturn = slots.stepBack(); });
  std::this_thread::sleep_for(50ms);
  // Two slots free up while the call is on its way back: one is its, the
  // other the line's, whether the call takes its own before the second
  // frees up or after.
  RequestSlots::Job first = slots.release();
  RequestSlots::Job second = slots.release();
  returning.join();
  EXPECT_FALSE(first);
  EXPECT_NE(static_cast<bool>(second), static_cast<bool>(fromReturn)) << "the request in line got a slot, once";
  EXPECT_EQ(2u, slots.running());
}

// Calls that wait for a body that does not come, or trickles in, run no
// more: every slot stays free for others.
TEST(HostSlots, BodiesThatNeverComeOrTrickleHoldNoSlotWhileNormalCallsAreServed) {
  auto settings = testSettings();
  settings.maxRunningCalls = 2;
  settings.transferGrace = 4s;
  settings.minTransferRate = 100;
  settings.stopGrace = 200ms;  // the slow calls are cut at the end
  SampleHost host(settings);
  std::vector<std::unique_ptr<RawClient>> slow;
  for (const auto& head : {headOfCall(300000), headOfCall(300000, "Expect: 100-continue\r\n"), headOfCall(300000),
                           headOfCall(2000, "Expect: 100-continue\r\n")}) {
    slow.push_back(std::make_unique<RawClient>(host.port()));
    slow.back()->send(head);
  }
  std::atomic<bool> stop{false};
  std::thread trickle([&] {
    for (int i = 0; i < 60 && !stop; ++i) {
      slow[2]->sendWhileAccepted("b", 10ms);
      std::this_thread::sleep_for(50ms);
    }
  });
  std::this_thread::sleep_for(300ms);
  Clock::duration slowest{};
  for (int i = 0; i < 10; ++i) slowest = std::max(slowest, normalCallTime(host));
  stop = true;
  trickle.join();
  EXPECT_LT(slowest, 1500ms) << "well before the 4 s the slow bodies may take";
  EXPECT_TRUE(slow[1]->receive("HTTP/1.1 100 Continue\r\n\r\n", 1s));
}

// Each call reserves its memory share; one that waits for its body gives
// back what it does not hold meanwhile, or a few silent clients would spend
// the host's budget and every other call get 503.
TEST(HostSlots, CallsWaitingForTheirBodyKeepNoMemoryFromOthers) {
  auto settings = testSettings();
  settings.callMemoryBudget = 1024 * 1024;
  settings.memoryBudget = 2 * 1024 * 1024;
  settings.stopGrace = 200ms;  // the silent calls are cut at the end
  SampleHost host(settings);
  std::vector<std::unique_ptr<RawClient>> silent;
  for (int i = 0; i < 4; ++i) {
    silent.push_back(std::make_unique<RawClient>(host.port()));
    silent.back()->send(headOfCall(300000));
    std::this_thread::sleep_for(50ms);
  }
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(normalCallServed(host)) << i;
  EXPECT_EQ("", silent[3]->readUntilQuiet(50ms)) << "the last silent call was not refused either";
}

TEST(HostSlots, HealthzIsAnsweredWhileEveryCallSlotAndTheLineAreTaken) {
  auto settings = testSettings();
  settings.maxRunningCalls = 1;
  settings.maxWaitingCalls = 1;
  DRAVHost::BridgeHost host(settings);
  auto holding = std::make_shared<HoldingBridge>();
  host.addBridge("/hold", holding);
  host.start();
  const std::string call = callRequest("wait", smallArgs(), 0, "", "/hold");
  RawClient running(host.port()), waiting(host.port());
  running.send(call);
  ASSERT_TRUE(holding->waitForHeld(1));
  waiting.send(call);
  std::this_thread::sleep_for(100ms);
  RawClient probe(host.port());
  for (int i = 0; i < 3; ++i) {
    probe.send("GET /healthz HTTP/1.1\r\nHost: h\r\n\r\n");
    const HttpReply reply = probe.readReply(1s);
    EXPECT_EQ(200, reply.status);
    EXPECT_EQ("ok\n", reply.body);
  }
  probe.send("GET /nowhere HTTP/1.1\r\nHost: h\r\nContent-Length: 2\r\n\r\nab");
  EXPECT_EQ(404, probe.readReply(1s).status) << "the host's own answers wait for no slot";
  EXPECT_EQ(0u, host.statistics().requestsRefused);
  holding->release();
  EXPECT_EQ(200, running.readReply().status);
  EXPECT_EQ(200, waiting.readReply().status);
}

// An idle connection holds the same whatever its last head: a head of
// thousands of empty fields (253 KiB of field list) is given back.
TEST(HostMemory, AnIdleConnectionAfterAHeadOfThousandsOfFieldsHoldsLittle) {
  auto settings = testSettings();
  settings.idleTimeout = 30s;
  SampleHost host(settings);
  std::string head = "GET /healthz HTTP/1.1\r\nHost: h\r\n";
  for (int i = 0; i < 3900; ++i) head += "a:\r\n";
  head += "\r\n";
  const long before = heldKiB();
  std::vector<std::unique_ptr<RawClient>> idle;
  for (int i = 0; i < 200; ++i) {
    idle.push_back(std::make_unique<RawClient>(host.port()));
    idle.back()->send(head);
    ASSERT_EQ(200, idle.back()->readReply().status);
  }
  const long grown = heldKiB() - before;
  EXPECT_LT(grown, 200 * 16) << "KiB for 200 idle connections";
  EXPECT_EQ(200u, host.host().statistics().activeConnections);
}

// A listed 32 MiB answer to clients that never read it: the host holds no
// copy of it while the writes wait (three did).
TEST(HostMemory, ListedAnswersClientsNeverReadHoldNoCopyOfTheValue) {
  auto settings = testSettings();
  settings.transferGrace = 2s;
  settings.stopGrace = 200ms;  // the stuck calls are cut at the end
  SampleHost host(settings);
  DRAVArgs args;
  args.addArg(32 * 1024 * 1024);
  const std::string call = callRequest("generateBinary", encodeArgs(args));
  const long before = residentKiB();
  std::vector<std::unique_ptr<RawClient>> stuck;
  for (int i = 0; i < 4; ++i) {
    stuck.push_back(std::make_unique<RawClient>(host.port(), "127.0.0.1", 4096));
    stuck.back()->send(call);
  }
  std::this_thread::sleep_for(800ms);
  const long grown = residentKiB() - before;
  EXPECT_LT(grown, 32 * 1024) << "KiB while 4 answers of 32 MiB wait";
  EXPECT_TRUE(normalCallServed(host));
}

// An echoed value counts once against the share: read into the buffer it is
// answered from. What the answer adds beside it counts too: a compressed form.
TEST(HostMemory, AnEchoedValueCountsOnceAndWhatItsAnswerAddsBesideIt) {
  auto settings = testSettings();
  settings.callMemoryBudget = 4 * 1024 * 1024;
  SampleHost host(settings);
  const auto echo = [&](const std::string& value) {
    DRAVArgs args;
    args.addArg(reinterpret_cast<unsigned char*>(const_cast<char*>(value.data())),
                static_cast<unsigned long>(value.size()), false);
    RawClient client(host.port());
    client.send(callRequest("echo", encodeArgs(args)));
    return client.readReply();
  };
  std::string noise(3584 * 1024, '\0');
  std::uint32_t state = 1;
  for (char& c : noise) c = static_cast<char>((state = state * 1103515245 + 12345) >> 24);
  HttpReply reply = echo(noise);
  ASSERT_EQ(200, reply.status) << reply.body.substr(0, 200);
  const BridgeAnswer answer = decodeListAnswer(reply.body);
  const auto& value = answer.results.getBinaryArray(0);
  EXPECT_EQ(noise, std::string(reinterpret_cast<const char*>(value.getData()), value.getLength()));

  // Text goes back compressed: its compressed form beside it passes the share.
  std::string text(2560 * 1024, '\0');
  for (std::size_t i = 0; i < text.size(); ++i) text[i] = "shipped 12 orders; "[i % 19];
  reply = echo(text);
  EXPECT_EQ(413, reply.status);
  EXPECT_EQ(0u, reply.body.find("holding the results takes more than the ")) << reply.body;
  text.resize(1024 * 1024);
  reply = echo(text);
  ASSERT_EQ(200, reply.status);
  const BridgeAnswer textAnswer = decodeListAnswer(reply.body);
  const auto& back = textAnswer.results.getBinaryArray(0);
  EXPECT_EQ(text, std::string(reinterpret_cast<const char*>(back.getData()), back.getLength()));
}

}  // namespace
}  // namespace hosttest
