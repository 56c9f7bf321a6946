#include "payloads.h"

#include <drav/common/exception.h>
#include <drav/serialization/output_stream.h>

#include <cstring>

using namespace DRAVCompression;
using dravtest::Bytes;
using dravtest::contentOf;
using dravtest::Kind;
using dravtest::makePayload;

namespace {

using StoredForm = dravtest::CompressionTest;

unsigned char* newCopy(const Bytes& bytes) {
  unsigned char* copy = new unsigned char[bytes.size()];
  if (!bytes.empty()) std::memcpy(copy, bytes.data(), bytes.size());
  return copy;
}

TEST(ReturnCode, NamesEveryZlibCodeAndCallsTheRestUnknown) {
  const std::pair<int, const char*> names[] = {
      {0, "Z_OK"},           {1, "Z_STREAM_END"},    {2, "Z_NEED_DICT"},     {-1, "Z_ERRNO"},
      {-2, "Z_STREAM_ERROR"}, {-3, "Z_DATA_ERROR"},   {-4, "Z_MEM_ERROR"},    {-5, "Z_BUF_ERROR"},
      {-6, "Z_VERSION_ERROR"}, {7, "unknown"},        {3, "unknown"},         {-7, "unknown"}};
  for (const auto& [code, name] : names) {
    EXPECT_EQ(DRAVReturnCode(code).toString(), name) << code;
    EXPECT_EQ(DRAVReturnCode(code).isError(), code != 0) << code;
  }
}

TEST_F(StoredForm, ThresholdZeroMeansTheDefaultAndOnlyTheLengthDecides) {
  EXPECT_EQ(DRAVCompressedData::getCompressionThreshold(), 64000ul);
  EXPECT_FALSE(DRAVCompressedData::isDataToCompress(nullptr, 63999));
  EXPECT_TRUE(DRAVCompressedData::isDataToCompress(nullptr, 64000));
  DRAVCompressedData::setCompressionThreshold(5);
  EXPECT_EQ(DRAVCompressedData::getCompressionThreshold(), 5ul);
  if (sizeof(unsigned long) > 4) {
    EXPECT_THROW(DRAVCompressedData::setCompressionThreshold(static_cast<unsigned long>(0x100000000ull)),
                 DRAVException);
    EXPECT_EQ(DRAVCompressedData::getCompressionThreshold(), 5ul);
  }
  DRAVCompressedData::setCompressionThreshold(0);
  EXPECT_EQ(DRAVCompressedData::getCompressionThreshold(), 64000ul);
}

TEST_F(StoredForm, RateIsTheTruePercentageAndNegativeForIncompressibleData) {
  DRAVCompressedData::setCompressionThreshold(1);
  for (Kind kind : {Kind::Random, Kind::Compressible}) {
    Bytes plain = makePayload(kind, 4096);
    unsigned char* data = plain.data();
    unsigned long length = plain.size();
    DRAVCompressedData stored(data, length, false);
    double expected = (4096.0 - stored.getLength()) / 4096.0 * 100.0;
    EXPECT_DOUBLE_EQ(stored.getCompressionRate(), expected) << dravtest::kindName(kind);
    EXPECT_EQ(stored.getCompressionRate() < 0, kind == Kind::Random);
    EXPECT_DOUBLE_EQ(DRAVUncompressedData(stored, false).getCompressionRate(), expected);
  }
}

// A small plain payload that begins like a header would be misread by the receiver.
TEST_F(StoredForm, ASmallPayloadThatLooksCompressedIsCompressedSoItReadsBackAsItself) {
  Bytes plain = dravtest::bytesOf("[DRAV_Z=3]abc");
  unsigned char* data = plain.data();
  unsigned long length = plain.size();
  DRAVCompressedData stored(data, length, false);
  EXPECT_EQ(dravtest::zlibReadsBack(contentOf(stored), plain.size()), plain);
  EXPECT_EQ(contentOf(DRAVUncompressedData(stored, true)), plain);

  Bytes noBracket = dravtest::bytesOf("[DRAV_Z=3 abc");
  data = noBracket.data();
  length = noBracket.size();
  EXPECT_EQ(contentOf(DRAVCompressedData(data, length, false)), noBracket);
}

TEST_F(StoredForm, TakingOverLeavesTheCallerEmptyWhetherCompressedOrNot) {
  for (bool takeOver : {true, false}) {
    for (std::size_t size : {63999, 64000}) {
      SCOPED_TRACE(std::to_string(size) + (takeOver ? " taken over" : " read only"));
      Bytes plain = makePayload(Kind::Compressible, size);
      unsigned char* const given = newCopy(plain);
      unsigned char* data = given;
      unsigned long length = plain.size();
      DRAVCompressedData stored(data, length, takeOver);
      EXPECT_EQ(data, takeOver ? nullptr : given);
      EXPECT_EQ(length, takeOver ? 0ul : size);
      // Below the threshold a taken buffer is adopted as it is, else copied.
      EXPECT_EQ(stored.getData() == given, takeOver && size < 64000);
      EXPECT_EQ(contentOf(DRAVUncompressedData(stored, true)), plain);
      if (!takeOver) delete[] given;
    }
  }
}

TEST_F(StoredForm, TakingOverAStreamEmptiesItAndKeepsItsMarker) {
  for (std::size_t size : {100, 64000}) {
    DRAVDataOutputStream stream;
    Bytes values = makePayload(Kind::Compressible, size - 1);
    stream.write(reinterpret_cast<const char*>(values.data()), values.size());
    Bytes content = contentOf(stream.getBuffer(0), stream.size());

    DRAVCompressedData readOnly(stream, false);
    EXPECT_EQ(stream.size(), size);
    DRAVCompressedData taken(stream, true);
    EXPECT_EQ(stream.size(), 0ul);

    EXPECT_EQ(contentOf(readOnly), contentOf(taken));
    EXPECT_EQ(contentOf(DRAVUncompressedData(taken, false)), content);
    EXPECT_EQ(content.front(), DRAV::hostByteOrderMarker());
  }
}

// Borrowed bytes must never reach delete[]: the sanitizer reports it if they do.
TEST_F(StoredForm, TakingOverFromAPlainObjectAdoptsOnlyWhatItOwns) {
  Bytes plain = makePayload(Kind::Compressible, 300);
  DRAVUncompressedData borrowing(plain.data(), plain.size(), false);
  ASSERT_FALSE(borrowing.ownsData());
  DRAVCompressedData fromBorrowed(borrowing, true);
  EXPECT_EQ(borrowing.getData(), nullptr);
  EXPECT_NE(fromBorrowed.getData(), plain.data());
  EXPECT_EQ(contentOf(fromBorrowed), plain);

  DRAVUncompressedData owning(plain.data(), plain.size(), true);
  unsigned char* const owned = owning.getData();
  DRAVCompressedData fromOwning(owning, true);
  EXPECT_EQ(owning.getData(), nullptr);
  EXPECT_EQ(fromOwning.getData(), owned);

  DRAVUncompressedData kept(plain.data(), plain.size(), true);
  DRAVCompressedData fromKept(kept, false);
  EXPECT_EQ(contentOf(kept), plain);
  EXPECT_EQ(contentOf(fromKept), plain);
}

// A buffer freed twice or never is reported by the sanitizer.
TEST_F(StoredForm, MovesAndDetachHandTheBufferOnExactlyOnce) {
  Bytes plain = makePayload(Kind::Uniform, 64000);
  unsigned char* data = plain.data();
  unsigned long length = plain.size();
  DRAVCompressedData first(data, length, false);
  const Bytes expected = contentOf(first);
  const double rate = first.getCompressionRate();
  ASSERT_GT(rate, 0.0);
  // A moved-from object is empty in every field, the target has them all.
  auto expectEmpty = [](const DRAVCompressedData& moved) {
    EXPECT_EQ(moved.getData(), nullptr);
    EXPECT_EQ(moved.getLength(), 0ul);
    EXPECT_EQ(moved.getCompressionRate(), 0.0);
  };
  DRAVCompressedData second(std::move(first));
  expectEmpty(first);
  EXPECT_EQ(second.getCompressionRate(), rate);
  DRAVCompressedData third(data, length, false);
  third = std::move(second);
  expectEmpty(second);
  EXPECT_EQ(third.getCompressionRate(), rate);
  EXPECT_EQ(contentOf(third), expected);
  const unsigned long storedLength = third.getLength();
  unsigned char* detached = third.detach();
  EXPECT_EQ(third.getLength(), 0ul);
  EXPECT_EQ(contentOf(detached, storedLength), expected);
  delete[] detached;

  auto expectPlainEmpty = [](const DRAVUncompressedData& moved) {
    EXPECT_EQ(moved.getData(), nullptr);
    EXPECT_EQ(moved.getLength(), 0ul);
    EXPECT_EQ(moved.getCompressionRate(), 0.0);
    EXPECT_FALSE(moved.ownsData());
  };
  DRAVUncompressedData restored(expected.data(), expected.size(), false);
  const double plainRate = restored.getCompressionRate();
  DRAVUncompressedData moved(std::move(restored));
  expectPlainEmpty(restored);
  EXPECT_EQ(moved.getCompressionRate(), plainRate);
  EXPECT_TRUE(moved.ownsData());
  DRAVUncompressedData borrowing(plain.data(), plain.size(), false);
  borrowing = std::move(moved);  // must not free the borrowed bytes
  expectPlainEmpty(moved);
  EXPECT_EQ(contentOf(borrowing), plain);
  EXPECT_EQ(borrowing.getCompressionRate(), plainRate);
  EXPECT_TRUE(borrowing.ownsData());
  moved = DRAVUncompressedData(plain.data(), plain.size(), false);
  moved = std::move(borrowing);  // frees nothing it does not own, keeps the owned
  EXPECT_EQ(contentOf(moved), plain);
}

TEST_F(StoredForm, LengthsThatCannotBeReadAreRefused) {
  unsigned char* none = nullptr;
  unsigned long five = 5;
  EXPECT_THROW(DRAVCompressedData(none, five, true), DRAVException);
  EXPECT_EQ(five, 5ul);
  EXPECT_THROW(DRAVUncompressedData(nullptr, 5, true), DRAVException);
  if (sizeof(unsigned long) > 4) {
    unsigned char byte = 0;
    unsigned char* data = &byte;
    unsigned long huge = static_cast<unsigned long>(0x100000000ull);
    EXPECT_THROW(DRAVCompressedData(data, huge, false), DRAVException);
    EXPECT_THROW(DRAVUncompressedData(&byte, huge, false), DRAVException);
  }
}

}  // namespace
