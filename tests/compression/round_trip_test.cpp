#include "payloads.h"

#include <drav/serialization/input_stream.h>

using namespace DRAVCompression;
using dravtest::Bytes;
using dravtest::contentOf;
using dravtest::Kind;

namespace {

// Sizes chosen so every small boundary and the default threshold are crossed;
// a threshold of 1 must give every non-empty payload, even one byte, a stored form.
const std::size_t kSizes[] = {0, 1, 2, 3, 5, 7, 13, 64, 4096, 63999, 64000, 1 << 20};
const Kind kKinds[] = {Kind::Uniform, Kind::Compressible, Kind::Random};

class RoundTrip : public dravtest::CompressionTest, public ::testing::WithParamInterface<unsigned long> {};

TEST_P(RoundTrip, EveryPayloadReadsBackAsItselfAndZlibReadsEveryStoredForm) {
  const unsigned long threshold = GetParam();
  DRAVCompressedData::setCompressionThreshold(threshold);
  for (Kind kind : kKinds) {
    for (std::size_t size : kSizes) {
      SCOPED_TRACE(std::string(dravtest::kindName(kind)) + " " + std::to_string(size));
      Bytes plain = dravtest::makePayload(kind, size);
      unsigned char* data = plain.data();
      unsigned long length = plain.size();
      DRAVCompressedData stored(data, length, false);

      const bool compressed = size >= DRAVCompressedData::getCompressionThreshold();
      EXPECT_EQ(compressed ? dravtest::zlibReadsBack(contentOf(stored), size) : contentOf(stored), plain);
      EXPECT_EQ(DRAVUncompressedData::isDataCompressed(stored.getData(), stored.getLength()), compressed);

      DRAVUncompressedData copied(stored, true);
      EXPECT_EQ(contentOf(copied), plain);
      EXPECT_DOUBLE_EQ(copied.getCompressionRate(), stored.getCompressionRate());
      DRAVUncompressedData referring(stored, false);
      EXPECT_EQ(contentOf(referring), plain);
      EXPECT_EQ(referring.ownsData(), compressed);
    }
  }
}

using StoredSize = dravtest::CompressionTest;

// Peers read payloads with zlib and pay for their size on the wire: the
// library's encoder may be faster than zlib's default level, not much looser.
// (On real text and program binaries it stays within 2%, see
// bench_compression; this synthetic mix of text and noise is its worst case.)
TEST_F(StoredSize, StoredFormsAreAtMostThreePercentLargerThanZlibsDefaultLevel) {
  for (Kind kind : kKinds) {
    SCOPED_TRACE(dravtest::kindName(kind));
    Bytes plain = dravtest::makePayload(kind, 1 << 20);
    unsigned char* data = plain.data();
    unsigned long length = plain.size();
    DRAVCompressedData stored(data, length, false);
    const std::size_t header = std::string("[DRAV_Z=1048576]").size();
    const std::size_t zlibs = dravtest::zlibStream(plain).size();
    EXPECT_LE(stored.getLength() - header, std::max<std::size_t>(zlibs * 103 / 100, zlibs + 64));
  }
}

INSTANTIATE_TEST_SUITE_P(Thresholds, RoundTrip, ::testing::Values(0ul, 1ul),
                         [](const auto& info) { return info.param ? "EveryPayload" : "DefaultThreshold"; });

}  // namespace
