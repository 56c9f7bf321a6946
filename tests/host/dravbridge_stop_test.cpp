// dravbridge on SIGTERM: it stops accepting, lets the running call finish
// within its grace, then exits 0. And the event loops it serves with.
#ifdef DRAVBRIDGE_PROGRAM

#include "host_test_support.h"
#include "program_runner.h"

#include <gtest/gtest.h>

#include <zlib.h>

#include <algorithm>
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
