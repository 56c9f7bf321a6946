// dravbridge on SIGTERM: it stops accepting, lets the running call finish
// within its grace, then exits 0; on SIGHUP it reopens its access log. And
// the event loops it serves with.
#ifdef DRAVBRIDGE_PROGRAM

#include "host_test_support.h"
#include "program_runner.h"

#include <gtest/gtest.h>

#include <zlib.h>

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace hosttest {
namespace {

TEST(DravbridgeStop, SigtermLetsARunningCallFinishThenExitsZero) {
  e2e::BackgroundProgram bridge(DRAVBRIDGE_PROGRAM, {"--port", "0", "--stop-grace", "5s"});
  const std::string port = bridge.waitForLine("dravbridge: listening on port ");
  ASSERT_FALSE(port.empty());
  const auto portNumber = static_cast<unsigned short>(std::stoi(port));
  // The bridge reads the extra blob as it comes: the call runs while half of it is missing.
  const std::string blob(300000, 'q');
  const std::string call = callRequest("checksumExtraBlob", encodeArgs(DRAVArgs()), blob.size()) + blob;
  const std::size_t half = call.size() - blob.size() / 2;
  RawClient client(portNumber);
  client.send(call.substr(0, half));
  std::this_thread::sleep_for(300ms);

  e2e::ProgramResult stopped;
  std::thread stopper([&] { stopped = bridge.stop(10s); });
  std::this_thread::sleep_for(300ms);
  EXPECT_THROW(RawClient late(portNumber), std::runtime_error) << "no new connection once stopping";
  client.send(call.substr(half));
  const HttpReply reply = client.readReply(5s);
  stopper.join();

  ASSERT_EQ(200, reply.status);
  const BridgeAnswer answer = decodeListAnswer(reply.body);
  EXPECT_EQ(0, answer.code);
  EXPECT_EQ(300000ul, answer.results.getULong(0));
  EXPECT_EQ(crc32(0, reinterpret_cast<const Bytef*>(blob.data()), static_cast<uInt>(blob.size())),
            answer.results.getULong(1));
  EXPECT_EQ(0, stopped.exitCode);
  EXPECT_NE(std::string::npos, stopped.out.find("dravbridge: stopped after 1 requests on 1 connections"))
      << stopped.out;
}

std::string fileText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// logrotate moves the log away and sends SIGHUP: the host writes on in a new
// file, and the call running meanwhile neither ends nor notices.
TEST(DravbridgeSignals, SighupReopensTheAccessLogAndLeavesARunningCallAlone) {
  const std::string log = "/tmp/drav_sighup_" + std::to_string(getpid()) + ".log";
  std::remove(log.c_str());
  std::remove((log + ".1").c_str());
  e2e::BackgroundProgram bridge(DRAVBRIDGE_PROGRAM, {"--port", "0", "--access-log", log, "--stop-grace", "5s"});
  const std::string port = bridge.waitForLine("dravbridge: listening on port ");
  ASSERT_FALSE(port.empty());
  const auto portNumber = static_cast<unsigned short>(std::stoi(port));
  const std::string echo = callRequest("echo", encodeArgs(DRAVArgs()));
  RawClient first(portNumber);
  first.send(echo);
  ASSERT_EQ(200, first.readReply().status);

  const std::string blob(300000, 'q');
  const std::string call = callRequest("checksumExtraBlob", encodeArgs(DRAVArgs()), blob.size()) + blob;
  const std::size_t half = call.size() - blob.size() / 2;
  RawClient running(portNumber);
  running.send(call.substr(0, half));
  std::this_thread::sleep_for(200ms);
  ASSERT_EQ(0, std::rename(log.c_str(), (log + ".1").c_str()));
  ASSERT_EQ(0, kill(bridge.pid(), SIGHUP));
  EXPECT_EQ(log, bridge.waitForLine("dravbridge: SIGHUP: reopened the access log "));
  running.send(call.substr(half));
  EXPECT_EQ(200, running.readReply().status);
  first.send(echo);
  EXPECT_EQ(200, first.readReply().status);

  const e2e::ProgramResult stopped = bridge.stop();
  EXPECT_EQ(0, stopped.exitCode) << stopped.err;
  EXPECT_NE(std::string::npos, stopped.out.find("dravbridge: SIGTERM: stopping; running calls get 5 s\n"))
      << stopped.out;
  const std::string before = fileText(log + ".1"), after = fileText(log);
  std::remove(log.c_str());
  std::remove((log + ".1").c_str());
  EXPECT_EQ(1, std::count(before.begin(), before.end(), '\n')) << before;
  EXPECT_NE(std::string::npos, before.find("\"echo\" 200")) << before;
  EXPECT_EQ(2, std::count(after.begin(), after.end(), '\n')) << after;
  EXPECT_NE(std::string::npos, after.find("\"checksumExtraBlob\" 200")) << after;
}

// The event loops dravbridge says it serves with.
std::string loopsServing(const std::vector<std::string>& options) {
  std::vector<std::string> arguments = {"--port", "0"};
  arguments.insert(arguments.end(), options.begin(), options.end());
  e2e::BackgroundProgram bridge(DRAVBRIDGE_PROGRAM, arguments);
  const std::string loops = bridge.waitForLine("dravbridge: serving with ");
  return loops.substr(0, loops.find(','));
}

TEST(DravbridgeLoops, OnePerProcessorButOneUnlessTold) {
  const unsigned processors = std::max(1u, std::thread::hardware_concurrency());
  const unsigned expected = std::max(1u, processors - 1);
  EXPECT_EQ(std::to_string(expected) + (expected == 1 ? " event loop" : " event loops"), loopsServing({}));
  EXPECT_EQ("3 event loops", loopsServing({"--event-loops", "3"}));
  // Never more loops than calls may run: each loop's thread runs calls.
  EXPECT_EQ("2 event loops", loopsServing({"--event-loops", "5", "--max-calls", "2"}));
}

}  // namespace
}  // namespace hosttest

#endif
