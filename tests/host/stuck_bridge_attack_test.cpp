// A bridge that never returns, tried against a running dravbridge: its calls
// are answered 504 at the call time limit and give their slots up, so that
// other bridges and other calls are served; the threads they keep are
// bounded by the cap on stuck calls, beyond which a stuck call runs on in
// its slot; and the stop names them all.
#if defined(DRAVBRIDGE_PROGRAM) && defined(DRAV_TEST_PLUGINS)

#include "host_test_support.h"
#include "program_runner.h"

#include <gtest/gtest.h>

#include <fstream>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace hosttest {
namespace {

using Clock = std::chrono::steady_clock;

// The threads of the process `pid`; 0 when they cannot be read.
int threadsOf(int pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);)
    if (line.compare(0, 8, "Threads:") == 0) return std::stoi(line.substr(8));
  return 0;
}

std::string hangCall() { return callRequest("hang", encodeArgs(DRAVArgs()), 0, "", "/bridges/probe", "probe"); }

// An echo of the sample bridge on a connection of its own, answered in full within `limit`.
bool echoAnswered(unsigned short port, std::chrono::milliseconds limit) {
  DRAVArgs args;
  args.addArg(std::string("still served"));
  RawClient client(port);
  client.send(callRequest("echo", encodeArgs(args)));
  const HttpReply reply = client.readReply(limit);
  return reply.status == 200 && decodeListAnswer(reply.body).results.getString(0) == "still served";
}

TEST(StuckBridgeAttack, CallsThatNeverReturnGiveTheirSlotsUpAtTheTimeLimit) {
  e2e::BackgroundProgram bridge(
      DRAVBRIDGE_PROGRAM, {"--port", "0", "--max-calls", "2", "--call-time-limit", "1s", "--max-stuck-calls", "2",
                           "--stop-grace", "1s", "--path", kSamplePath, "--bridge",
                           std::string(DRAV_TEST_PLUGINS) + "/libprobe.so"});
  const std::string listening = bridge.waitForLine("dravbridge: listening on port ");
  ASSERT_NE("", listening);
  const auto port = static_cast<unsigned short>(std::stoi(listening));
  ASSERT_TRUE(echoAnswered(port, 5s));
  const int threads = threadsOf(bridge.pid());

  // Both slots taken by calls that never return: they are answered 504 at
  // their limit, and the calls behind them run.
  std::vector<std::unique_ptr<RawClient>> stuck;
  const auto start = Clock::now();
  for (int i = 0; i < 2; ++i) {
    stuck.push_back(std::make_unique<RawClient>(port));
    stuck.back()->send(hangCall());
  }
  std::this_thread::sleep_for(100ms);
  EXPECT_TRUE(echoAnswered(port, 4s)) << "a call behind two stuck ones";
  for (auto& client : stuck) {
    const HttpReply reply = client->readReply(4s);
    EXPECT_EQ(504, reply.status);
    EXPECT_EQ("close", reply.header("Connection"));
  }
  EXPECT_LT(Clock::now() - start, 4s);
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(echoAnswered(port, 2s)) << "call " << i << " after the stuck ones";

  // Beyond the cap a call past the limit runs on in its slot and adds no
  // thread: the host holds at most two more than it began with.
  for (int i = 0; i < 2; ++i) {
    stuck.push_back(std::make_unique<RawClient>(port));
    stuck.back()->send(hangCall());
  }
  std::this_thread::sleep_for(1500ms);  // past the limit
  for (std::size_t i = 2; i < stuck.size(); ++i) EXPECT_EQ(0, stuck[i]->readReply(100ms).status);
  EXPECT_LE(threadsOf(bridge.pid()), threads + 2);
  RawClient health(port);
  health.send("GET /healthz HTTP/1.1\r\nHost: x\r\n\r\n");
  EXPECT_EQ(200, health.readReply(2s).status);

  // The stop names the four and does not wait for them beyond its grace
  // and the moment it gives cut calls to end.
  const auto stopping = Clock::now();
  const e2e::ProgramResult stopped = bridge.stop(10s);
  EXPECT_LT(Clock::now() - stopping, 5s);
  EXPECT_EQ(1, stopped.exitCode);
  EXPECT_NE(std::string::npos, stopped.out.find("stopped with 4 calls still running")) << stopped.out;
}

// Calls given up whose bridges return at last: the one that had written
// nothing was answered 504, the one whose answer had begun was cut; neither
// thread touches its connection or slot again when it comes back, and the
// host serves on within its one slot.
TEST(StuckBridgeAttack, GivenUpCallsWhoseBridgesReturnLeaveTheSlotsRight) {
  e2e::BackgroundProgram bridge(DRAVBRIDGE_PROGRAM,
                                {"--port", "0", "--max-calls", "1", "--call-time-limit", "500ms", "--path", kSamplePath,
                                 "--bridge", std::string(DRAV_TEST_PLUGINS) + "/libtyped.so"});
  const std::string listening = bridge.waitForLine("dravbridge: listening on port ");
  ASSERT_NE("", listening);
  const auto port = static_cast<unsigned short>(std::stoi(listening));
  DRAVArgs args;
  args.addArg(2000);
  RawClient silent(port), begun(port);
  silent.send(callRequest("sleep", encodeArgs(args), 0, "", "/bridges/typed", "typed"));
  EXPECT_EQ(504, silent.readReply(3s).status);
  begun.send(callRequest("stall", encodeArgs(args), 0, "", "/bridges/typed", "typed"));
  const std::string partial = begun.readUntilQuiet(1500ms);
  EXPECT_EQ(0u, partial.find("HTTP/1.1 200 OK\r\n")) << partial;
  EXPECT_TRUE(begun.closedByPeer(2s)) << "the answer begun is cut";
  EXPECT_EQ(std::string::npos, partial.find("\r\n0\r\n\r\n")) << "no last chunk";
  EXPECT_TRUE(echoAnswered(port, 2s));
  std::this_thread::sleep_for(2s);  // both bridges have returned
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(echoAnswered(port, 2s)) << i;
  const e2e::ProgramResult stopped = bridge.stop(5s);
  EXPECT_EQ(0, stopped.exitCode) << stopped.out;
}

}  // namespace
}  // namespace hosttest

#endif
