// The sample bridge under the host, called over real HTTP through libcurl:
// every method, both answer forms, the extra blob, and the answers to calls
// it cannot serve.
#include "host_test_support.h"

#include <drav/compression/compression.h>

#include <gtest/gtest.h>
#include <zlib.h>

#include <random>

namespace hosttest {
namespace {

using DRAVHost::SampleBridge;

class SampleBridgeOverHttp : public ::testing::Test {
protected:
  HttpReply post(const std::string& method, const std::string& body, std::uint32_t blobSize = 0,
                 const std::string& blob = std::string(), const char* streamingMode = nullptr) {
    return client_.post(host_.url(), callHeaders(method, body.size(), blobSize, streamingMode), body + blob);
  }
  BridgeAnswer call(const std::string& method, const DRAVArgs& args) {
    const HttpReply reply = post(method, encodeArgs(args));
    EXPECT_EQ(200, reply.status) << reply.body;
    return decodeListAnswer(reply.body);
  }

  SampleHost host_;
  CurlClient client_;
};

std::vector<unsigned char> compressible(std::size_t size) {
  std::vector<unsigned char> bytes(size);
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<unsigned char>("echo, echo "[i % 11]);
  return bytes;
}

TEST_F(SampleBridgeOverHttp, EchoReturnsEveryKindOfValueAsSent) {
  auto big = compressible(200000);
  DRAVArgs expected;
  expected.addArg(-5);
  expected.addArg(std::string("text"));
  expected.addArg(zu_utf8string("gr\xC3\xBC\xC3\x9F"));
  expected.addArg(true);
  expected.addArg(static_cast<short>(-2));
  expected.addArg(-70000L);
  expected.addArg(2.5);
  expected.addArg(1.25f);
  expected.addArg(static_cast<unsigned char>(200));
  expected.addArg('c');
  expected.addArg(static_cast<unsigned short>(65000));
  expected.addArg(4000000000ul);
  expected.addArg(7u);
  unsigned char small[] = {0, 1, 2};
  expected.addArg(small, 3, true);
  expected.addArg(big.data(), static_cast<unsigned long>(big.size()), true);
  expected.addArg(DRAVVar());

  // The large value travels compressed, as clients send it.
  DRAVArgs sent(expected);
  unsigned char* data = big.data();
  unsigned long length = static_cast<unsigned long>(big.size());
  DRAVCompression::DRAVCompressedData stored(data, length, false);
  sent.updateArg(14) = new DRAVTypes::DRAVArray<unsigned char>(stored.getData(), stored.getLength(), true);

  const HttpReply reply = post("echo", encodeArgs(sent));
  ASSERT_EQ(200, reply.status) << reply.body;
  EXPECT_LT(reply.body.size(), 20000u) << "the echoed large value goes back compressed";
  const BridgeAnswer answer = decodeListAnswer(reply.body);
  EXPECT_EQ(0, answer.code);
  EXPECT_EQ("no error detected", answer.message);
  EXPECT_EQ("sample", answer.text1);
  EXPECT_EQ("echo", answer.text2);
  EXPECT_EQ(encodeArgs(expected), encodeArgs(answer.results));
}

TEST_F(SampleBridgeOverHttp, SumAddsNumbersOfEveryNumericKind) {
  DRAVArgs args;
  args.addArg(1);
  args.addArg(static_cast<short>(2));
  args.addArg(3L);
  args.addArg(static_cast<unsigned char>(4));
  args.addArg(static_cast<unsigned short>(5));
  args.addArg(6ul);
  args.addArg(7u);
  args.addArg(0.5);
  args.addArg(0.25f);
  const BridgeAnswer answer = call("sum", args);
  EXPECT_EQ(0, answer.code);
  ASSERT_EQ(1ul, answer.results.size());
  EXPECT_DOUBLE_EQ(28.75, answer.results.getDouble(0));
}

TEST_F(SampleBridgeOverHttp, MethodsThatCannotServeTheCallAnswerWithAStatusCode) {
  DRAVArgs words;
  words.addArg(1);
  words.addArg(std::string("two"));
  const struct {
    const char* method;
    const DRAVArgs& args;
    long code;
    const char* message;
  } cases[] = {
      {"sum", words, SampleBridge::BadArguments, "sum: value 1 is a String, not a number"},
      {"generateBinary", words, SampleBridge::BadArguments, "generateBinary takes a size"},
      {"noSuchMethod", words, SampleBridge::UnknownMethod, "unknown method 'noSuchMethod'"},
  };
  for (const auto& c : cases) {
    const BridgeAnswer answer = call(c.method, c.args);
    EXPECT_EQ(c.code, answer.code) << c.method;
    EXPECT_NE(std::string::npos, answer.message.find(c.message)) << answer.message;
    EXPECT_EQ(0ul, answer.results.size());
  }
  EXPECT_EQ(3u, host_.host().statistics().requestsServed);
}

TEST_F(SampleBridgeOverHttp, GenerateBinaryAnswersInsideTheListWithoutStreaming) {
  DRAVArgs args;
  args.addArg(1000);
  args.addArg(3);
  const BridgeAnswer answer = call("generateBinary", args);
  ASSERT_EQ(0, answer.code) << answer.message;
  const auto& value = answer.results.getBinaryArray(0);
  ASSERT_EQ(1000ul, value.getLength());
  for (std::uint32_t i = 0; i < 1000; ++i) ASSERT_EQ(SampleBridge::patternByte(i, 3), value.getData()[i]) << i;
}

TEST_F(SampleBridgeOverHttp, GenerateBinaryStreamsAValueHeadThenChunksThenTheStatus) {
  const std::uint32_t size = 6000000;
  DRAVArgs args;
  args.addArg(static_cast<unsigned long>(size));
  args.addArg(9);
  // To see the chunks themselves; its small window makes the host's writes go out in parts.
  RawClient raw(host_.port(), "127.0.0.1", 4096);
  for (const std::string mode : {"OUT", "INOUT"}) {
    raw.send(callRequest("generateBinary", encodeArgs(args), 0, "DRAVStreamingMode: " + mode + "\r\n"));
    const HttpReply reply = raw.readReply(std::chrono::seconds(60));  // 6 MB through a small window, sanitizers included
    ASSERT_EQ(200, reply.status);
    EXPECT_TRUE(reply.chunked);
    ASSERT_GE(reply.chunkSizes.size(), 4u);
    EXPECT_EQ(7u, reply.chunkSizes.front()) << "the value head goes out on its own";
    EXPECT_EQ(std::string("\x01\x00\x03\x00\x5B\x8D\x80", 7), reply.body.substr(0, 7));
    const BridgeAnswer answer = decodeStreamedAnswer(reply.body);
    EXPECT_EQ(0, answer.code);
    ASSERT_EQ(size, answer.streamed.size());
    for (std::uint32_t i = 0; i < size; ++i)
      ASSERT_EQ(SampleBridge::patternByte(i, 9), static_cast<unsigned char>(answer.streamed[i])) << i;
  }
}

TEST_F(SampleBridgeOverHttp, ACallStreamingOutAlwaysGetsTheStreamedForm) {
  DRAVArgs args;
  args.addArg(std::string("not a size"));
  const struct {
    const char* method;
    long code;
    const char* says;
  } cases[] = {
      {"generateBinary", SampleBridge::BadArguments, "generateBinary takes a size"},
      {"echo", SampleBridge::BadArguments, "echo answers with a list; call it without streaming out"},
      {"nothing", SampleBridge::UnknownMethod, "unknown method 'nothing'"},
  };
  for (const auto& c : cases) {
    const HttpReply reply = post(c.method, encodeArgs(args), 0, std::string(), "OUT");
    ASSERT_EQ(200, reply.status);
    const BridgeAnswer answer = decodeStreamedAnswer(reply.body);
    EXPECT_EQ(0u, answer.streamedSize);
    EXPECT_EQ(c.code, answer.code);
    EXPECT_NE(std::string::npos, answer.message.find(c.says)) << answer.message;
  }
}

TEST(SampleBridgeLimits, AValueTooLargeForTheListNeedsStreaming) {
  DRAVHost::SampleBridgeLimits limits;
  limits.maxListedBinary = 1000;
  SampleHost host(testSettings(), limits);
  CurlClient client;
  DRAVArgs args;
  args.addArg(1001);
  const std::string body = encodeArgs(args);
  const HttpReply reply = client.post(host.url(), callHeaders("generateBinary", body.size()), body);
  const BridgeAnswer answer = decodeListAnswer(reply.body);
  EXPECT_EQ(SampleBridge::TooLarge, answer.code);
  EXPECT_NE(std::string::npos, answer.message.find("streaming mode OUT or INOUT")) << answer.message;
}

TEST_F(SampleBridgeOverHttp, ChecksumReadsTheExtraBlobBehindTheArguments) {
  std::mt19937 random(7);
  std::string blob(3 * 1024 * 1024 + 17, '\0');
  for (char& c : blob) c = static_cast<char>(random());
  const std::string body = encodeArgs(DRAVArgs());
  const HttpReply reply = post("checksumExtraBlob", body, static_cast<std::uint32_t>(blob.size()), blob);
  ASSERT_EQ(200, reply.status) << reply.body;
  const BridgeAnswer answer = decodeListAnswer(reply.body);
  ASSERT_EQ(0, answer.code) << answer.message;
  EXPECT_EQ(blob.size(), answer.results.getULong(0));
  const uLong crc = crc32(crc32(0, Z_NULL, 0), reinterpret_cast<const Bytef*>(blob.data()), static_cast<uInt>(blob.size()));
  EXPECT_EQ(crc, answer.results.getULong(1));
}

TEST_F(SampleBridgeOverHttp, ArgumentsThatDoNotDecodeGet400) {
  DRAVArgs one;
  one.addArg(1);
  const std::string valid = encodeArgs(one);
  const struct {
    std::string body;
    const char* message;
  } cases[] = {
      {std::string("\x01\x00\x00\x00\x05\x00\x01", 7), "malformed arguments"},  // five values announced, none there
      {valid + "xyz", "3 bytes follow the list"},
      {std::string("\x01\x00\x00\x00\x01\x00\x03\x7F\xFF\xFF\xFF", 11), "malformed arguments"},  // a 2 GiB value
  };
  for (const auto& c : cases) {
    const HttpReply reply = post("echo", c.body);
    EXPECT_EQ(400, reply.status);
    EXPECT_NE(std::string::npos, reply.body.find(c.message)) << reply.body;
  }
  EXPECT_EQ(200, post("echo", valid).status) << "the host serves on";
}

}  // namespace
}  // namespace hosttest
