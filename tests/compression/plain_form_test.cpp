#include "allocation_probe.h"
#include "payloads.h"

#include <drav/serialization/decode_budget.h>
#include <drav/serialization/input_stream.h>

using namespace DRAVCompression;
using dravtest::Bytes;
using dravtest::bytesOf;
using dravtest::contentOf;
using dravtest::headerThen;
using dravtest::Kind;
using dravtest::makePayload;
using dravtest::zlibStream;

namespace {

// The message the plain side throws, or "" when it succeeds.
std::string failureOf(const Bytes& stored, DRAVDecodeBudget* budget = nullptr, bool copy = true) {
  try {
    DRAVUncompressedData plain(stored.data(), stored.size(), copy, budget);
    return "";
  } catch (const DRAVCompressionException& e) {
    return e.what();
  }
}

const std::string kDataError = "ERROR during data uncompression : Z_DATA_ERROR";
const std::string kBufError = "ERROR during data uncompression : Z_BUF_ERROR";

TEST(PlainForm, RecognisesOnlyACompleteCaseExactHeader) {
  const std::pair<const char*, bool> cases[] = {
      {"", false},
      {"[DRAV_Z", false},           // shorter than the marker
      {"[drav_z=5]xxxx", false},    // letter case differs
      {"[DRAV_Z=12345", false},     // digits but no "]"
      {"[DRAV_Z=]", true},          // empty digits
      {"[DRAV_Z=5]", true},
      {"[DRAV_Z=abc]zz", true},     // atol gives 0; the stream decides
  };
  for (const auto& [text, compressed] : cases) {
    Bytes bytes = bytesOf(text);
    EXPECT_EQ(DRAVUncompressedData::isDataCompressed(bytes.data(), bytes.size()), compressed) << text;
  }
  EXPECT_FALSE(DRAVUncompressedData::isDataCompressed(nullptr, 20));
}

TEST(PlainForm, OnlyUnchangedBytesReadWithoutCopyAreBorrowed) {
  Bytes bytes = bytesOf("[DRAV_Z=3 abc");  // marker without "]": plain data
  DRAVUncompressedData referring(bytes.data(), bytes.size(), false);
  EXPECT_EQ(referring.getData(), bytes.data());
  EXPECT_FALSE(referring.ownsData());
  DRAVUncompressedData copying(bytes.data(), bytes.size(), true);
  EXPECT_NE(copying.getData(), bytes.data());
  EXPECT_EQ(contentOf(copying), bytes);

  Bytes plain = makePayload(Kind::Compressible, 5000);
  Bytes stored = dravtest::storedForm(plain);
  DRAVUncompressedData restored(stored.data(), stored.size(), false);
  EXPECT_TRUE(restored.ownsData());
  unsigned char* detached = restored.detach();
  EXPECT_TRUE(restored.ownsData());
  EXPECT_EQ(restored.getLength(), 0ul);
  EXPECT_EQ(contentOf(detached, plain.size()), plain);
  delete[] detached;
}

TEST(PlainForm, ReadsTheWholeBufferOfAnInputStream) {
  Bytes plain = makePayload(Kind::Compressible, 700);
  Bytes stored = dravtest::storedForm(plain);
  DRAVDataInputStream stream(stored.data(), stored.size());
  EXPECT_EQ(contentOf(DRAVUncompressedData(stream, false)), plain);
}

TEST(PlainForm, HeaderDigitsAreReadLikeAtol) {
  Bytes three = bytesOf("abc");
  const std::pair<const char*, Bytes> cases[] = {
      {"[DRAV_Z= \t+3]", three}, {"[DRAV_Z=3xyz]", three}, {"[DRAV_Z=0003]", three},
      {"[DRAV_Z=-0]", Bytes()},  {"[DRAV_Z=]", Bytes()},
  };
  for (const auto& [header, plain] : cases) {
    Bytes stored = headerThen(header, zlibStream(plain));
    EXPECT_EQ(contentOf(DRAVUncompressedData(stored.data(), stored.size(), true)), plain) << header;
  }
}

// A buffer as large as the header claims is never even requested.
TEST(PlainForm, HostileAnnouncedLengthsAreRefusedBeforeAllocating) {
  Bytes stream = zlibStream(makePayload(Kind::Random, 8));
  stream.resize(20, 0);
  const std::string headers[] = {
      "[DRAV_Z=4000000000]",
      "[DRAV_Z=4294967295]",
      "[DRAV_Z=4294967296]",
      "[DRAV_Z=99999999999999999999999]",
      "[DRAV_Z=-5]",
      "[DRAV_Z=-4294967295]",
      "[DRAV_Z=" + std::to_string(20 * 1032 + 65) + "]",  // beyond what 20 deflated bytes can give
  };
  for (const std::string& header : headers) {
    Bytes stored = headerThen(header, stream);
    dravtest::resetLargestArrayAllocation();
    EXPECT_EQ(failureOf(stored), kDataError) << header;
    EXPECT_LT(dravtest::largestArrayAllocation(), 4096u) << header;
  }
  // The largest length 20 deflated bytes may announce is believed: its buffer
  // is made, and only the stream's end shows the header lied.
  const std::size_t believable = 20 * 1032 + 64;
  dravtest::resetLargestArrayAllocation();
  EXPECT_EQ(failureOf(headerThen("[DRAV_Z=" + std::to_string(believable) + "]", stream)), kDataError);
  EXPECT_EQ(dravtest::largestArrayAllocation(), believable);
}

TEST(PlainForm, TheMostCompressibleStreamsAreStillAccepted) {
  Bytes zeros(16 << 20, 0);
  Bytes stored = headerThen("[DRAV_Z=" + std::to_string(zeros.size()) + "]", zlibStream(zeros, 9));
  DRAVUncompressedData result(stored.data(), stored.size(), false);
  EXPECT_EQ(contentOf(result), zeros);
}

TEST(PlainForm, CorruptOrTruncatedStreamsAreRefused) {
  Bytes plain = makePayload(Kind::Compressible, 4096);
  const Bytes stream = zlibStream(plain);
  const std::string header = "[DRAV_Z=4096]";
  auto cut = [&](std::size_t dropped) { return Bytes(stream.begin(), stream.end() - dropped); };
  auto flipped = [&](std::size_t at) {
    Bytes copy = stream;
    copy[at] ^= 0x55;
    return copy;
  };
  // A stream cut or damaged after it has filled the buffer is short of room
  // in zlib's words, not bad data; the message says what zlib says.
  const std::pair<Bytes, std::string> cases[] = {
      {headerThen(header, {}), kDataError},                 // header only
      {headerThen(header, cut(1)), kBufError},              // checksum cut short
      {headerThen(header, cut(4)), kBufError},              // checksum missing
      {headerThen(header, cut(5)), kBufError},              // end of block missing, buffer full
      {headerThen(header, cut(stream.size() / 2)), kDataError},
      {headerThen(header, flipped(0)), kDataError},         // zlib wrapper
      {headerThen(header, flipped(stream.size() - 1)), kDataError},  // Adler-32
      {headerThen(header, flipped(stream.size() / 2)), kBufError},  // damage that yields more bytes
      {headerThen("[DRAV_Z=4095]", stream), kBufError},  // announces fewer bytes
      {headerThen("[DRAV_Z=4097]", stream), kDataError},  // stream ends short of the header
  };
  for (std::size_t i = 0; i < std::size(cases); ++i) EXPECT_EQ(failureOf(cases[i].first), cases[i].second) << i;
}

// The budget is asked before the buffer exists, and only for what is allocated.
TEST(PlainForm, ADecodeBudgetRefusesAPayloadBeyondWhatIsLeft) {
  Bytes stored = dravtest::storedForm(makePayload(Kind::Compressible, 5000));
  DRAVDecodeBudget budget(9999);
  EXPECT_EQ(failureOf(stored, &budget), "");
  EXPECT_EQ(budget.used(), 5000u);
  dravtest::resetLargestArrayAllocation();
  EXPECT_EQ(failureOf(stored, &budget), "decode budget exceeded: the payload announces 5000 bytes, 4999 left");
  EXPECT_LT(dravtest::largestArrayAllocation(), 4096u);
  EXPECT_TRUE(budget.exceeded());
  EXPECT_EQ(budget.used(), 5000u);

  DRAVDecodeBudget exact(5000);
  EXPECT_EQ(failureOf(stored, &exact), "");
  EXPECT_FALSE(exact.exceeded());

  // Unchanged bytes cost their copy, and nothing when only referred to.
  Bytes plain = bytesOf("plain bytes");
  DRAVDecodeBudget small(10);
  EXPECT_EQ(failureOf(plain, &small, false), "");
  EXPECT_EQ(small.used(), 0u);
  EXPECT_EQ(failureOf(plain, &small), "decode budget exceeded: copying the payload takes 11 bytes, 10 left");

  // A lying header is malformed input, not a large request.
  Bytes lying = headerThen("[DRAV_Z=4000000000]", zlibStream(bytesOf("abc")));
  DRAVDecodeBudget tiny(1);
  EXPECT_EQ(failureOf(lying, &tiny), kDataError);
  EXPECT_FALSE(tiny.exceeded());
}

TEST(PlainForm, EmptyDigitsAnnounceAnEmptyPayload) {
  Bytes empty = headerThen("[DRAV_Z=]", zlibStream({}));
  DRAVUncompressedData result(empty.data(), empty.size(), false);
  EXPECT_EQ(result.getLength(), 0ul);
  EXPECT_EQ(result.getCompressionRate(), 0.0);
  EXPECT_EQ(failureOf(headerThen("[DRAV_Z=]", zlibStream(bytesOf("abc")))), kBufError);
  EXPECT_EQ(failureOf(headerThen("[DRAV_Z=]", zlibStream(bytesOf("a")))), kBufError);
}

// What follows a complete stream is not looked at, as zlib itself does.
TEST(PlainForm, BytesAfterTheStreamAreIgnored) {
  Bytes plain = bytesOf("payload");
  Bytes stored = dravtest::storedForm(plain);
  stored.push_back('!');
  EXPECT_EQ(contentOf(DRAVUncompressedData(stored.data(), stored.size(), true)), plain);
}

}  // namespace
