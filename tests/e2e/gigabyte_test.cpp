// The 1 GiB transfers, as users meet them: dravcall posts a 1 GiB extra blob
// from a mapped file that the sample bridge checksums chunk by chunk, and
// saves a 1 GiB result the bridge streams. The host (dravbridge) and the
// client each run in a process of their own, so that their peak memory can
// be read: the host stays below 64 MiB, the client below 64 MiB beyond the
// mapped file. Slow, so ctest runs them as the entry e2e_gigabyte
// (DRAV_E2E_GIGABYTE=1); the default entry skips them.
#ifdef DRAVCALL_PROGRAM

#include "program_runner.h"

#include "host/sample_bridge.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <vector>

namespace e2e {
namespace {

constexpr std::uint64_t kGiB = 1024ull * 1024 * 1024;
// A sanitizer keeps freed memory in quarantine and adds shadow memory: its
// figures say nothing about the programs, so the bound holds in plain builds only.
#if defined(__SANITIZE_ADDRESS__)
#define DRAV_E2E_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define DRAV_E2E_SANITIZED 1
#endif
#endif
#ifdef DRAV_E2E_SANITIZED
constexpr std::uint64_t kMemoryBound = ~0ull >> 1;
#else
constexpr std::uint64_t kMemoryBound = 64ull * 1024 * 1024;
#endif
constexpr std::size_t kBlock = 1024 * 1024;

// The peak resident memory of a finished program, also printed for the record.
std::uint64_t peakBytes(const ProgramResult& run, const char* who) {
  std::printf("%s: peak resident memory %ld MiB\n", who, run.peakKiB / 1024);
  return static_cast<std::uint64_t>(run.peakKiB) * 1024;
}

class Gigabyte : public ::testing::Test {
protected:
  void SetUp() override {
    if (!std::getenv("DRAV_E2E_GIGABYTE")) GTEST_SKIP() << "run by the ctest entry e2e_gigabyte (DRAV_E2E_GIGABYTE=1)";
    char folder[] = "/tmp/drav-gigabyte-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(folder));
    folder_ = folder;
    bridge_ = std::make_unique<BackgroundProgram>(DRAVBRIDGE_PROGRAM, std::vector<std::string>{"--port", "0"});
    url_ = bridge_->waitForLine("dravbridge: sample bridge at ");
    ASSERT_FALSE(url_.empty()) << "dravbridge did not start";
  }
  void TearDown() override {
    if (bridge_) {
      const ProgramResult host = bridge_->stop();
      EXPECT_EQ(0, host.exitCode) << host.out;
      EXPECT_LT(peakBytes(host, "dravbridge"), kMemoryBound) << "the host's peak memory";
    }
    if (!folder_.empty()) std::system(("rm -rf '" + folder_ + "'").c_str());
  }
  std::string file(const std::string& name) const { return folder_ + "/" + name; }

  std::string folder_;
  std::unique_ptr<BackgroundProgram> bridge_;
  std::string url_;
};

TEST_F(Gigabyte, AnExtraBlobFromAMappedFileIsChecksummedChunkByChunk) {
  uLong crc = crc32(0, Z_NULL, 0);
  {
    std::ofstream blob(file("blob.bin"), std::ios::binary);
    std::vector<unsigned char> block(kBlock);
    for (std::uint64_t at = 0; at < kGiB; at += kBlock) {
      for (std::size_t i = 0; i < kBlock; ++i) block[i] = static_cast<unsigned char>(((at + i) * 2654435761u) >> 24);
      blob.write(reinterpret_cast<const char*>(block.data()), kBlock);
      crc = crc32(crc, block.data(), kBlock);
    }
    ASSERT_TRUE(blob.good());
  }
  const ProgramResult run = runProgram(DRAVCALL_PROGRAM,
                                       {"--extra-blob", file("blob.bin"), "--chunk-size", std::to_string(kBlock),
                                        url_, "sample", "checksumExtraBlob"},
                                       600s);
  ASSERT_EQ(0, run.exitCode) << run.err;
  EXPECT_EQ("0 ULong 1073741824\n1 ULong " + std::to_string(crc) + "\n", run.out.substr(0, run.out.find("status")));
  EXPECT_LT(peakBytes(run, "dravcall"), kGiB + kMemoryBound) << "the client's peak memory, the mapped file included";
}

TEST_F(Gigabyte, AResultStreamedByTheBridgeIsSavedAsItArrives) {
  const ProgramResult run = runProgram(DRAVCALL_PROGRAM,
                                       {"--streaming", "OUT", "--read-size", "1048576", "--output", file("result.bin"),
                                        url_, "sample", "generateBinary", "ulong:1073741824", "int:11"},
                                       600s);
  ASSERT_EQ(0, run.exitCode) << run.err;
  EXPECT_LT(peakBytes(run, "dravcall"), kMemoryBound) << "the client's peak memory";
  std::ifstream result(file("result.bin"), std::ios::binary);
  std::vector<unsigned char> block(kBlock), expected(kBlock);
  std::uint64_t at = 0;
  while (result.read(reinterpret_cast<char*>(block.data()), kBlock) || result.gcount() > 0) {
    const std::size_t got = static_cast<std::size_t>(result.gcount());
    for (std::size_t i = 0; i < got; ++i) expected[i] = DRAVHost::SampleBridge::patternByte(at + i, 11);
    ASSERT_EQ(0, std::memcmp(block.data(), expected.data(), got)) << "at " << at;
    at += got;
  }
  EXPECT_EQ(kGiB, at);
}

}  // namespace
}  // namespace e2e

#endif
