// The choice a binary value is sent under: compressed when a sample shows it
// pays (the default), always, or never; and the stored form it then takes.
#include "payloads.h"

#include <drav/serialization/decode_budget.h>

#include <gtest/gtest.h>

#include <cstring>

namespace dravtest {
namespace {

using DRAVCompression::DRAVCompressedData;
using DRAVCompression::DRAVCompressionChoice;
using DRAVCompression::DRAVUncompressedData;

class ValueChoice : public CompressionTest {
protected:
  void TearDown() override {
    DRAVCompressedData::setCompressionChoice(DRAVCompressionChoice::Default);
    CompressionTest::TearDown();
  }
  static bool compressed(const Bytes& value, DRAVCompressionChoice choice = DRAVCompressionChoice::Default) {
    return DRAVCompressedData::isValueToCompress(value.data(), static_cast<unsigned long>(value.size()), choice);
  }
};

// The bytes of a zlib stream look random: what compression already went
// through gains nothing the second time.
Bytes alreadyCompressed(std::size_t size) {
  Bytes out;
  for (unsigned seed = 1; out.size() < size; ++seed) {
    const Bytes stream = zlibStream(makePayload(Kind::Compressible, 256 * 1024, seed));
    out.insert(out.end(), stream.begin(), stream.end());
  }
  out.resize(size);
  return out;
}

TEST_F(ValueChoice, ByDefaultWhatShrinksIsCompressedAndWhatLooksRandomGoesAsItIs) {
  const std::size_t threshold = DRAVCompressedData::getCompressionThreshold();
  for (std::size_t size : {threshold, std::size_t(1) << 20, std::size_t(5) << 20}) {
    EXPECT_FALSE(compressed(makePayload(Kind::Random, size))) << size;
    EXPECT_FALSE(compressed(alreadyCompressed(size))) << size;
    EXPECT_TRUE(compressed(makePayload(Kind::Compressible, size))) << size;
    EXPECT_TRUE(compressed(makePayload(Kind::Uniform, size))) << size;
  }
  // Random bytes with a text tail that a sample sees: the value pays as a whole.
  Bytes mixed = makePayload(Kind::Random, 1 << 20);
  const Bytes text = makePayload(Kind::Compressible, 7 << 20);
  mixed.insert(mixed.end(), text.begin(), text.end());
  EXPECT_TRUE(compressed(mixed));
  EXPECT_FALSE(compressed(makePayload(Kind::Compressible, threshold - 1))) << "the threshold stays";
}

TEST_F(ValueChoice, ForcingAndForbiddingOverrideTheSampleButNeitherTheThresholdNorAHeaderOfTheBytesOwn) {
  const std::size_t threshold = DRAVCompressedData::getCompressionThreshold();
  EXPECT_TRUE(compressed(makePayload(Kind::Random, threshold), DRAVCompressionChoice::Always));
  EXPECT_FALSE(compressed(makePayload(Kind::Random, threshold - 1), DRAVCompressionChoice::Always));
  EXPECT_FALSE(compressed(makePayload(Kind::Uniform, threshold), DRAVCompressionChoice::Never));
  // Bytes that begin with a complete header read back as themselves only compressed.
  EXPECT_TRUE(compressed(bytesOf("[DRAV_Z=5]hello"), DRAVCompressionChoice::Never));

  // A value's Default is the process's choice; setting Default restores the sample.
  DRAVCompressedData::setCompressionChoice(DRAVCompressionChoice::Never);
  EXPECT_FALSE(compressed(makePayload(Kind::Uniform, threshold)));
  DRAVCompressedData::setCompressionChoice(DRAVCompressionChoice::Always);
  EXPECT_TRUE(compressed(makePayload(Kind::Random, threshold)));
  DRAVCompressedData::setCompressionChoice(DRAVCompressionChoice::Default);
  EXPECT_EQ(DRAVCompressionChoice::WhenItPays, DRAVCompressedData::getCompressionChoice());

  DRAVCompressionChoice parsed = DRAVCompressionChoice::Default;
  EXPECT_TRUE(DRAVCompression::parseCompressionChoice("never", parsed));
  EXPECT_EQ(DRAVCompressionChoice::Never, parsed);
  EXPECT_TRUE(DRAVCompression::parseCompressionChoice("always", parsed));
  EXPECT_EQ(DRAVCompressionChoice::Always, parsed);
  EXPECT_TRUE(DRAVCompression::parseCompressionChoice("auto", parsed));
  EXPECT_EQ(DRAVCompressionChoice::WhenItPays, parsed);
  for (const char* other : {"", "Auto", "no", "auto "}) {
    EXPECT_FALSE(DRAVCompression::parseCompressionChoice(other, parsed)) << other;
    EXPECT_EQ(DRAVCompressionChoice::WhenItPays, parsed) << "left as it was";
  }
}

// Compressed for speed, the stored form is still one zlib stream behind the
// header: zlib's own uncompress reads it, as every reader does; a value sent
// as it is goes byte for byte.
TEST_F(ValueChoice, TheFormAValueIsSentInReadsBackThroughZlibItself) {
  const std::size_t threshold = DRAVCompressedData::getCompressionThreshold();
  for (Kind kind : {Kind::Uniform, Kind::Compressible, Kind::Random}) {
    for (std::size_t size : {threshold - 1, threshold, std::size_t(3) << 20}) {
      const Bytes plain = makePayload(kind, size);
      for (DRAVCompressionChoice choice : {DRAVCompressionChoice::Default, DRAVCompressionChoice::Always}) {
        const DRAVCompressedData stored(plain.data(), static_cast<unsigned long>(plain.size()), choice);
        const Bytes form = contentOf(stored);
        if (!compressed(plain, choice)) {
          EXPECT_EQ(plain, form) << kindName(kind) << " " << size;
          continue;
        }
        EXPECT_EQ(plain, zlibReadsBack(form, plain.size())) << kindName(kind) << " " << size;
        EXPECT_LE(form.size(), plain.size() + plain.size() / 1000 + 64) << "random bytes forced: stored blocks";
        const DRAVUncompressedData back(stored, false);
        EXPECT_EQ(plain, contentOf(back));
        DRAVDecodeBudget budget(plain.size());
        EXPECT_EQ(plain, DRAVUncompressedData::toPlainVector(stored.getData(), stored.getLength(), &budget));
        EXPECT_EQ(plain.size(), budget.used()) << "charged the plain length, as the constructor charges";
      }
    }
  }
}

TEST_F(ValueChoice, ThePlainVectorOfAHeaderThatLiesIsRefusedBeforeItIsAllocated) {
  const Bytes plain = makePayload(Kind::Compressible, 100000);
  const Bytes lying = headerThen("[DRAV_Z=4000000000]", zlibStream(plain));
  DRAVDecodeBudget budget(1 << 20);
  EXPECT_THROW(DRAVUncompressedData::toPlainVector(lying.data(), static_cast<unsigned long>(lying.size()), &budget),
               DRAVCompression::DRAVCompressionException);
  EXPECT_EQ(0u, budget.used());
  const Bytes stored = storedForm(plain);
  DRAVDecodeBudget small(plain.size() - 1);
  EXPECT_THROW(DRAVUncompressedData::toPlainVector(stored.data(), static_cast<unsigned long>(stored.size()), &small),
               DRAVCompression::DRAVCompressionException);
  EXPECT_TRUE(small.exceeded());
}

// What callers of DRAVCompressedData rely on: the classic constructors
// compress every payload at the threshold, whatever it holds.
TEST_F(ValueChoice, TheClassicConstructorsStillCompressEverythingAtTheThreshold) {
  const Bytes random = makePayload(Kind::Random, DRAVCompressedData::getCompressionThreshold());
  unsigned char* data = const_cast<unsigned char*>(random.data());
  unsigned long length = static_cast<unsigned long>(random.size());
  DRAVCompressedData::setCompressionChoice(DRAVCompressionChoice::Never);
  const DRAVCompressedData stored(data, length, false);
  EXPECT_EQ(random, zlibReadsBack(contentOf(stored), random.size()));
}

}  // namespace
}  // namespace dravtest
