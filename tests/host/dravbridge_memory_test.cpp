// What dravbridge holds while method tables read large parts of a call:
// extra-blob pieces of the method's choosing, and arguments gathered from
// many pieces. Each stays within the memory budget, counted once.
#if defined(DRAVBRIDGE_PROGRAM) && defined(DRAV_TEST_PLUGINS)

#include "host_test_support.h"
#include "program_runner.h"

#include <gtest/gtest.h>

#include <future>
#include <string>
#include <vector>

namespace hosttest {
namespace {

constexpr std::uint64_t kMiB = 1024 * 1024;
const std::string kTypedPlugin = std::string(DRAV_TEST_PLUGINS) + "/libtyped.so";

// Posts a call of blobInPieces asking for pieces of `most` bytes, with an
// extra blob of `blobSize` bytes sent a MiB at a time; the answer.
HttpReply blobInPieces(unsigned short port, std::uint32_t most, std::uint32_t blobSize) {
  DRAVArgs args;
  args.addArg(static_cast<unsigned long>(most));
  RawClient client(port);
  client.send(callRequest("blobInPieces", encodeArgs(args), blobSize, std::string(), "/bridges/typed", "typed"));
  const std::string piece(kMiB, 'p');
  for (std::uint32_t sent = 0; sent < blobSize; sent += kMiB) client.send(piece.substr(0, blobSize - sent));
  return client.readReply(60s);
}

// Four calls whose method asks for its blob in one piece of 4 GiB: each
// piece is held once and charged to its call, so that the four together
// stay within the host's memory budget.
TEST(DravbridgeMemory, BlobPiecesAMethodAsksForAreChargedAndHeldOnce) {
  const std::uint64_t budget = 128 * kMiB;
  e2e::BackgroundProgram bridge(DRAVBRIDGE_PROGRAM,
                                {"--port", "0", "--bridge", kTypedPlugin, "--memory-budget", std::to_string(budget),
                                 "--call-memory-budget", std::to_string(budget / 4), "--max-calls", "4"});
  const std::string listening = bridge.waitForLine("dravbridge: listening on port ");
  ASSERT_NE("", listening);
  const auto port = static_cast<unsigned short>(std::stoi(listening));
  ASSERT_EQ(200, blobInPieces(port, 1000, 4000).status);
  const long idleKiB = e2e::peakResidentKiB(bridge.pid());

  std::vector<std::future<HttpReply>> calls;
  for (int i = 0; i < 4; ++i)
    calls.push_back(std::async(std::launch::async, blobInPieces, port, 0xFFFFFFFFu, static_cast<std::uint32_t>(budget)));
  for (auto& call : calls) {
    const HttpReply reply = call.get();
    ASSERT_EQ(200, reply.status) << reply.body.substr(0, 300);
    const DRAVArgs results = decodeListAnswer(reply.body).results;
    EXPECT_LE(results.getULong(1), budget / 4) << "the largest piece";
    EXPECT_GE(results.getULong(1), budget / 8) << "the largest piece";
  }
  const long grewKiB = e2e::peakResidentKiB(bridge.pid()) - idleKiB;
  std::printf("4 calls reading 128 MiB blobs in the largest pieces: peak %ld KiB above idle (budget %llu KiB)\n",
              grewKiB, static_cast<unsigned long long>(budget / 1024));
#ifndef DRAV_E2E_SANITIZED
  EXPECT_LT(grewKiB, static_cast<long>(budget * 5 / 4 / 1024));
#endif
}

}  // namespace
}  // namespace hosttest

#endif
