// Peers that are not our code: the curl program posts bodies that dravdump
// encoded, with the call headers, and dravdump reads the host's answers.
#include "host_test_support.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <unistd.h>

namespace hosttest {
namespace {

#ifdef DRAVDUMP_PROGRAM

// Runs a shell command under a time limit; its standard output, and its exit status in `status`.
std::string run(const std::string& command, int& status) {
  std::string output;
  FILE* pipe = popen(("timeout 60 " + command + " 2>&1").c_str(), "r");
  if (!pipe) return output;
  char buffer[4096];
  while (std::size_t n = std::fread(buffer, 1, sizeof buffer, pipe)) output.append(buffer, n);
  status = pclose(pipe);
  return output;
}

class CurlPeer : public ::testing::Test {
protected:
  void SetUp() override {
    char folder[] = "/tmp/drav-curl-peer-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(folder));
    dir_ = folder;
    int status = -1;
    run("curl --version", status);
    if (status != 0) GTEST_SKIP() << "the curl program is not installed";
  }
  void TearDown() override {
    if (!dir_.empty()) std::system(("rm -rf '" + dir_ + "'").c_str());
  }
  std::string file(const std::string& name) const { return dir_ + "/" + name; }
  static std::size_t sizeOf(const std::string& path) {
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    return static_cast<std::size_t>(in.tellg());
  }
  // Posts `bodyFile` with the call headers; the HTTP status curl saw.
  std::string post(const std::string& method, const std::string& bodyFile, std::size_t argsSize,
                   std::size_t blobSize, const std::string& answerFile, const std::string& extra = "") {
    int status = -1;
    const std::string command = "curl -sS --noproxy '*' -o '" + answerFile + "' -w '%{http_code}' --data-binary @'" +
                                bodyFile + "' -H 'DRAVBridgeName: sample' -H 'DRAVMethodName: " + method +
                                "' -H 'DRAVMethodNeedSsoToken: no' -H 'DRAVArgs-Size: " + std::to_string(argsSize) +
                                "' -H 'DRAVExtraBlob-Size: " + std::to_string(blobSize) + "' " + extra + " '" +
                                host_.url() + "'";
    const std::string output = run(command, status);
    EXPECT_EQ(0, status) << output;
    return output;
  }
  std::string dravdump(const std::string& arguments, int& status) {
    return run(std::string("'") + DRAVDUMP_PROGRAM + "' " + arguments, status);
  }

  SampleHost host_;
  std::string dir_;
};

TEST_F(CurlPeer, EchoesABodyDravdumpEncodedAndDravdumpReadsTheAnswer) {
  {
    std::ofstream big(file("big.bin"), std::ios::binary);
    for (int i = 0; i < 20000; ++i) big << "peer line\n";  // 200 KB, stored compressed
  }
  int status = -1;
  dravdump("--encode -o '" + file("body.bin") + "' int:5 string:abc double:2.5 'bin:@" + file("big.bin") + "'",
           status);
  ASSERT_EQ(0, status);
  const std::size_t size = sizeOf(file("body.bin"));
  ASSERT_LT(size, 20000u);
  EXPECT_EQ("200", post("echo", file("body.bin"), size, 0, file("answer.bin")));
  const std::string printed = dravdump("--answer '" + file("answer.bin") + "'", status);
  EXPECT_EQ(0, status) << printed;
  EXPECT_EQ("0 Int 5\n1 String \"abc\"\n2 Double 2.5\n"
            "3 BinaryArray 200000 bytes: 70 65 65 72 20 6C 69 6E 65 0A 70 65 65 72 20 6C ...\n"
            "status 0 \"no error detected\" (sample, echo)\n",
            printed);
}

TEST_F(CurlPeer, PostsAnExtraBlobPastOneMegabyteAndReadsAStreamedAnswer) {
  int status = -1;
  dravdump("--encode -o '" + file("args.bin") + "'", status);
  ASSERT_EQ(0, status);
  const std::size_t argsSize = sizeOf(file("args.bin"));
  {
    std::ofstream blob(file("blob.bin"), std::ios::binary);
    for (int i = 0; i < 3 * 1024 * 1024; ++i) blob.put(static_cast<char>(i % 253));
  }
  run("cat '" + file("args.bin") + "' '" + file("blob.bin") + "' > '" + file("call.bin") + "'", status);
  // curl asks for 100 Continue before a body this large.
  EXPECT_EQ("200", post("checksumExtraBlob", file("call.bin"), argsSize, 3 * 1024 * 1024, file("sum.bin")));
  const std::string sums = dravdump("--answer '" + file("sum.bin") + "'", status);
  EXPECT_EQ(0, status) << sums;
  EXPECT_NE(std::string::npos, sums.find("0 ULong 3145728\n")) << sums;
  EXPECT_NE(std::string::npos, sums.find("status 0 ")) << sums;

  dravdump("--encode -o '" + file("generate.bin") + "' ulong:100000 int:7", status);
  EXPECT_EQ("200", post("generateBinary", file("generate.bin"), sizeOf(file("generate.bin")), 0, file("value.bin"),
                        "-H 'DRAVStreamingMode: OUT'"));
  const std::string value = dravdump("--streamed-answer '" + file("value.bin") + "'", status);
  EXPECT_EQ(0, status) << value;
  EXPECT_EQ("0 BinaryArray 100000 bytes: 07 08 09 0A 0B 0C 0D 0E 0F 10 11 12 13 14 15 16 ...\n"
            "status 0 \"no error detected\" (sample, generateBinary)\n",
            value);
}

#endif

}  // namespace
}  // namespace hosttest
