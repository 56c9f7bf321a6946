// DRAVArgs::clear(): a list emptied for reuse reads the next body into the
// storage it kept, gives the same values as a new list would, charges the
// budget as a new list would, and stays usable after a refused body.
#include <drav/common/exception.h>
#include <drav/compression/compression.h>
#include <drav/serialization/argument_list.h>
#include <drav/serialization/decode_budget.h>
#include <drav/serialization/input_stream.h>
#include <drav/serialization/output_stream.h>

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "../compression/allocation_probe.h"
#include "support/bytes.h"

using dravtest::Bytes;
using dravtest::payload;
using dravtest::toHex;

namespace {

// A whole body (marker first) of the values `build` adds.
Bytes bodyOf(const std::function<void(DRAVArgs&)>& build) {
  DRAVArgs args;
  build(args);
  DRAVDataOutputStream out;
  args.writeObject(out);
  return Bytes(out.getBuffer(0), out.getBuffer(0) + out.size());
}

std::string written(const DRAVArgs& args) {
  DRAVDataOutputStream out;
  args.writeObject(out);
  return toHex(payload(out));
}

// The exception's text, or "" when the body is read.
std::string read(DRAVArgs& args, const Bytes& body, DRAVDecodeBudget* budget = nullptr) {
  DRAVDataInputStream in(body.data(), static_cast<unsigned long>(body.size()));
  in.setBudget(budget);
  try {
    args.readObject(in);
  } catch (const std::exception& e) {
    return e.what();
  }
  return "";
}

// Allocations made by clear() and the read that follows it.
std::size_t allocationsToReadAgain(DRAVArgs& args, const Bytes& body) {
  DRAVDataInputStream in(body.data(), static_cast<unsigned long>(body.size()));
  dravtest::resetAllocationCount();
  args.clear();
  args.readObject(in);
  return dravtest::allocationCount();
}

std::string bytesOf(const DRAVTypes::DRAVArray<unsigned char>& array) {
  return std::string(reinterpret_cast<const char*>(array.getData()), array.getLength());
}

// Every kind that keeps storage, at sizes that need a buffer of their own.
Bytes mixedBody(std::size_t text, std::size_t bytes) {
  return bodyOf([&](DRAVArgs& args) {
    std::string binary(bytes, 'b');
    args.addArg(7);
    args.addArg(std::string(text, 's'));
    args.addArg(zu_utf8string(std::string(text, 'u')));
    args.addArg(reinterpret_cast<unsigned char*>(binary.data()), static_cast<unsigned long>(bytes), true);
    args.addArg(std::string("short"));
  });
}

TEST(ListReuse, ReadingAgainAllocatesNothingWhileKindsAndSizesFit) {
  DRAVArgs args;
  ASSERT_EQ(read(args, mixedBody(100, 64)), "");
  EXPECT_EQ(allocationsToReadAgain(args, mixedBody(100, 64)), 0u) << "the same body";
  EXPECT_EQ(allocationsToReadAgain(args, mixedBody(40, 10)), 0u) << "smaller texts and bytes";
  EXPECT_EQ(args.getString(1), std::string(40, 's'));
  EXPECT_EQ(bytesOf(args.getBinaryArray(3)), std::string(10, 'b'));
  EXPECT_EQ(allocationsToReadAgain(args, mixedBody(100, 64)), 0u) << "back to the sizes the storage has room for";
  EXPECT_EQ(args.getUTF8String(2).str(), std::string(100, 'u'));
  EXPECT_EQ(bytesOf(args.getBinaryArray(3)), std::string(64, 'b'));
  EXPECT_EQ(allocationsToReadAgain(args, mixedBody(100, 65)), 1u) << "only the value that outgrew its buffer";
  EXPECT_EQ(allocationsToReadAgain(args, mixedBody(100, 65)), 0u);
  DRAVArgs fresh;
  ASSERT_EQ(read(fresh, mixedBody(100, 65)), "");
  EXPECT_EQ(written(args), written(fresh));
}

// A compressed binary of 100000 bytes of text, where mixedBody has its binary.
Bytes compressedBody() {
  static std::string text;
  if (text.empty())
    for (int i = 0; i < 5000; ++i) text += "line " + std::to_string(i % 10) + " of the text\n";
  unsigned char* data = reinterpret_cast<unsigned char*>(text.data());
  unsigned long length = static_cast<unsigned long>(text.size());
  DRAVCompression::DRAVCompressedData stored(data, length, false);
  EXPECT_TRUE(DRAVCompression::DRAVUncompressedData::isDataCompressed(stored.getData(), stored.getLength()));
  return bodyOf([&](DRAVArgs& args) {
    for (int i = 0; i < 3; ++i) args.addArg(i);
    args.addArg(stored.getData(), stored.getLength(), true);
  });
}

TEST(ListReuse, EachBodyReadsAsIntoANewListWhateverTheValuesHeldBefore) {
  std::string borrowed(64, 'k');
  const Bytes bodies[] = {
      mixedBody(100, 64),
      bodyOf([](DRAVArgs& a) {  // every place changes kind
        a.addArg(std::string(50, 'x'));
        a.addArg(2.5);
        a.addArg(std::string(120, 'y'));
        a.addArg(zu_utf8string(std::string(60, 'z')));
        a.addArg(true);
        a.addArg(static_cast<short>(-2));
      }),
      mixedBody(3, 0),  // short text into string objects, an empty binary into a buffer
      mixedBody(100, 64),
      compressedBody(),
      bodyOf([](DRAVArgs& a) { a.addArg(DRAVVar()); }),
      bodyOf([&](DRAVArgs& a) {
        a.addArg(reinterpret_cast<unsigned char*>(borrowed.data()), 64, false);
        a.addArg(std::string(40, 'v'));
      }),
      mixedBody(33, 1),
      bodyOf([](DRAVArgs&) {}),
      mixedBody(100, 64),
  };
  DRAVArgs reused;
  for (std::size_t i = 0; i < std::size(bodies); ++i) {
    DRAVArgs fresh;
    ASSERT_EQ(read(fresh, bodies[i]), "") << i;
    reused.clear();
    ASSERT_EQ(read(reused, bodies[i]), "") << i;
    ASSERT_EQ(reused.size(), fresh.size()) << i;
    EXPECT_EQ(written(reused), written(fresh)) << "body " << i;
    for (unsigned long v = 0; v < fresh.size(); ++v) EXPECT_EQ(reused.getArgs()[v]->getType(), fresh.getArgs()[v]->getType());
  }
  EXPECT_EQ(borrowed, std::string(64, 'k'));
}

TEST(ListReuse, ABorrowedBufferIsNeverWrittenOver) {
  std::string borrowed(64, 'k');
  DRAVArgs args;
  args.addArg(reinterpret_cast<unsigned char*>(borrowed.data()), 64, false);
  args.clear();
  ASSERT_EQ(read(args, mixedBody(10, 64)), "");
  EXPECT_EQ(bytesOf(args.getBinaryArray(3)), std::string(64, 'b'));
  EXPECT_EQ(borrowed, std::string(64, 'k'));
}

TEST(ListReuse, TheBudgetIsChargedAsForANewListAndRefusesAlike) {
  const Bytes body = mixedBody(100, 64);
  DRAVArgs fresh;
  DRAVDecodeBudget measured(1u << 20);
  ASSERT_EQ(read(fresh, body, &measured), "");

  DRAVArgs reused;
  ASSERT_EQ(read(reused, body), "");
  reused.clear();
  DRAVDecodeBudget again(1u << 20);
  ASSERT_EQ(read(reused, body, &again), "");
  EXPECT_EQ(again.used(), measured.used());

  DRAVArgs another;
  DRAVDecodeBudget tight(measured.used() - 1);
  const std::string refusal = read(another, body, &tight);
  ASSERT_NE(refusal, "");
  reused.clear();
  DRAVDecodeBudget tightAgain(measured.used() - 1);
  EXPECT_EQ(read(reused, body, &tightAgain), refusal);
  EXPECT_TRUE(tightAgain.exceeded());
  EXPECT_EQ(reused.size(), 0u);
}

TEST(ListReuse, ARefusedBodyLeavesTheListAsItWasAndTheNextBodyReadsWhole) {
  Bytes truncated = mixedBody(100, 64);
  truncated.resize(truncated.size() - 12);  // inside the last binary value
  DRAVArgs args;
  ASSERT_EQ(read(args, mixedBody(90, 60)), "");
  const std::vector<DRAVVar*>& view = args.getArgs();

  args.clear();
  EXPECT_NE(read(args, truncated), "");
  EXPECT_EQ(args.size(), 0u);
  EXPECT_TRUE(view.empty());
  ASSERT_EQ(read(args, mixedBody(20, 5)), "");
  EXPECT_EQ(args.getString(1), std::string(20, 's'));
  EXPECT_EQ(bytesOf(args.getBinaryArray(3)), std::string(5, 'b'));

  // Not cleared: the refused body appends nothing, the next one appends after the kept value.
  args.clear();
  args.addArg(std::string(40, 'k'));
  EXPECT_NE(read(args, truncated), "");
  ASSERT_EQ(args.size(), 1u);
  EXPECT_EQ(args.getString(0), std::string(40, 'k'));
  ASSERT_EQ(read(args, mixedBody(30, 6)), "");
  ASSERT_EQ(args.size(), 6u);
  EXPECT_EQ(args.getString(0), std::string(40, 'k'));
  EXPECT_EQ(args.getInt(1), 7);
  EXPECT_EQ(args.getString(2), std::string(30, 's'));
  EXPECT_EQ(bytesOf(args.getBinaryArray(4)), std::string(6, 'b'));
  EXPECT_EQ(args.getString(5), "short");
  ASSERT_EQ(view.size(), 6u);
  for (unsigned long i = 0; i < 6; ++i) EXPECT_EQ(view[i], &args.updateArg(i));
}

TEST(ListReuse, ClearingPutsTheSettingsBackAndFreesAnOwnedBlob) {
  DRAVArgs args;
  unsigned char blob[4] = {1, 2, 3, 4};
  const long before = dravtest::liveArrayAllocations();
  args.setExtraBlob(blob, sizeof blob, true);
  args.setSsoToken("token");
  args.needSsoToken(true);
  args.setStreamingMode(StreamingOut);
  args.addArg(1);
  args.clear();
  EXPECT_EQ(dravtest::liveArrayAllocations(), before);
  EXPECT_EQ(args.getExtraBlob(), nullptr);
  EXPECT_EQ(args.getExtraBlobSize(), 0u);
  EXPECT_EQ(args.getSsoToken(), "");
  EXPECT_FALSE(args.needSsoToken());
  EXPECT_EQ(args.getStreamingMode(), StreamingNo);
  EXPECT_EQ(written(args), "00 00 00 00");
}

}  // namespace
