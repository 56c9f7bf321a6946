// The 1 GiB transfers, as users meet them: dravcall posts a 1 GiB extra blob
// from a mapped file that the sample bridge checksums chunk by chunk, and
// saves a 1 GiB result the bridge streams. The host (dravbridge) and the
// client each run in a process of their own, so that their peak memory can
// be read: the host stays below 64 MiB, the client below 64 MiB beyond the
// mapped file. Slow, so ctest runs them as the entry e2e_gigabyte
// (DRAV_E2E_GIGABYTE=1); the default entry skips them.
#ifdef DRAVCALL_PROGRAM

#include "pattern_files.h"
#include "program_runner.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

namespace e2e {
namespace {

constexpr std::uint64_t kGiB = 1024ull * 1024 * 1024;

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
  const unsigned long crc = writePatternFile(file("blob.bin"), kGiB);
  ASSERT_NE(0u, crc) << "cannot write " << file("blob.bin");
  const ProgramResult run = runProgram(DRAVCALL_PROGRAM,
                                       {"--extra-blob", file("blob.bin"), "--chunk-size", "1048576",
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
  EXPECT_EQ(kGiB, patternBytesMatching(file("result.bin"), 11)) << "the bytes saved, as far as they are right";
}

}  // namespace
}  // namespace e2e

#endif
