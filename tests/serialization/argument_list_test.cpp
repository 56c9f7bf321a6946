// DRAVArgs and ParamIndex: body encoding, exact-kind getters, per-call
// settings, copies, and bodies that announce more than they hold.
#include <drav/common/exception.h>
#include <drav/serialization/argument_list.h>
#include <drav/serialization/decode_budget.h>
#include <drav/serialization/input_stream.h>
#include <drav/serialization/output_stream.h>
#include <drav/serialization/param_index.h>
#include <drav/serialization/size_calculator.h>

#include <gtest/gtest.h>

#include <functional>
#include <new>
#include <stdexcept>

#include "../compression/allocation_probe.h"
#include "support/bytes.h"

using dravtest::Bytes;
using dravtest::hex;
using dravtest::payload;
using dravtest::toHex;
using dravtest::withMarker;

namespace {

std::string body(const DRAVArgs& args) {
  DRAVDataOutputStream out;
  args.writeObject(out);
  DRAVDataTypedStream sizes;
  EXPECT_EQ(args.objectSize(&sizes), out.size() - 1);
  return toHex(payload(out));
}

void readInto(DRAVArgs& args, const Bytes& values) {
  Bytes data = withMarker(values);
  DRAVDataInputStream in(data.data(), data.size());
  args.readObject(in);
}

std::string message(const std::function<void()>& call) {
  try {
    call();
  } catch (const std::exception& e) {
    return e.what();
  }
  return "(no exception)";
}

TEST(DRAVArgs, WritesACountAndEachValue) {
  DRAVArgs empty;
  EXPECT_EQ(body(empty), "00 00 00 00");
  DRAVArgs args;
  args.addArg(5);
  args.addArg(std::string("ab"));
  EXPECT_EQ(body(args), "00 00 00 02 00 01 00 00 00 05 00 02 00 00 00 03 61 62 00");
}

TEST(DRAVArgs, TextsOfEveryShortLengthAreWrittenExactlyWhereverTheBufferEnds) {
  // Texts of 0 to 40 bytes, around the size kept inside a value, repeated so
  // that they land at every distance from the end of the growing buffer.
  DRAVArgs args;
  Bytes expected = {0x00, 0x00, 0x01, 0xEC};  // 12 rounds of 41 texts
  for (int round = 0; round < 12; ++round) {
    for (std::size_t size = 0; size <= 40; ++size) {
      const std::string text(size, static_cast<char>('a' + size % 26));
      args.addArg(text);
      expected.insert(expected.end(), {0x00, 0x02, 0x00, 0x00, 0x00, static_cast<unsigned char>(size + 1)});
      expected.insert(expected.end(), text.begin(), text.end());
      expected.push_back(0x00);
    }
  }
  EXPECT_EQ(body(args), toHex(expected));
  DRAVArgs read;
  readInto(read, expected);
  ASSERT_EQ(read.size(), 492u);
  EXPECT_EQ(read.getString(491), std::string(40, 'o'));
  EXPECT_EQ(read.getString(41 + 32), std::string(32, 'g'));
}

TEST(DRAVArgs, EveryAddedKindReadsBackThroughItsGetter) {
  unsigned char bin[] = {1, 2, 3};
  DRAVArgs sent;
  sent.addArg(std::string("s"));
  sent.addArg(zu_utf8string("\xE2\x82\xAC"));
  sent.addArg('c');
  sent.addArg(static_cast<unsigned char>(250));
  sent.addArg(static_cast<short>(-7));
  sent.addArg(static_cast<unsigned short>(65535));
  sent.addArg(-8);
  sent.addArg(9u);
  sent.addArg(-10L);
  sent.addArg(4294967295ul);
  sent.addArg(0.5f);
  sent.addArg(-0.25);
  sent.addArg(true);
  sent.addArg(bin, 3, false);
  sent.addArg("literal");

  DRAVDataOutputStream out;
  sent.writeObject(out);
  DRAVDataInputStream in(out.getBuffer(0), out.size());
  DRAVArgs got;
  got.readObject(in);
  ASSERT_EQ(got.getArgs().size(), 15u);
  EXPECT_EQ(got.getString(0), "s");
  EXPECT_EQ(got.getUTF8String(1).str(), "\xE2\x82\xAC");
  EXPECT_EQ(got.getChar(2), 'c');
  EXPECT_EQ(got.getByte(3), 250);
  EXPECT_EQ(got.getShort(4), -7);
  EXPECT_EQ(got.getUShort(5), 65535);
  EXPECT_EQ(got.getInt(6), -8);
  EXPECT_EQ(got.getUInt(7), 9u);
  EXPECT_EQ(got.getLong(8), -10L);
  EXPECT_EQ(got.getULong(9), 4294967295ul);
  EXPECT_EQ(got.getFloat(10), 0.5f);
  EXPECT_EQ(got.getDouble(11), -0.25);
  EXPECT_TRUE(got.getBoolean(12));
  EXPECT_EQ(toHex(got.getBinaryArray(13).getData(), 3), "01 02 03");
  EXPECT_EQ(got.getString(14), "literal");
  EXPECT_EQ(in.remaining(), 0u);
}

TEST(DRAVArgs, GettersDemandTheExactKindAndAValidIndex) {
  DRAVArgs args;
  args.addArg(5L);
  args.addArg(std::string("x"));
  EXPECT_EQ(message([&] { args.getInt(0); }), "wrong argument type : Integer expected");
  EXPECT_EQ(message([&] { args.getUTF8String(1); }), "wrong argument type : UTF8String expected");
  EXPECT_EQ(message([&] { args.getULong(0); }), "wrong argument type : ULong expected");
  EXPECT_EQ(message([&] { args.getString(2); }), "wrong argument index : index array out of bound");
  EXPECT_THROW(args.getString(2), DRAVException);
  EXPECT_EQ(message([&] { args.updateArg(2); }), "invalid argument index");
  args.updateArg(0) = 3.5;
  EXPECT_EQ(args.getDouble(0), 3.5);
}

TEST(DRAVArgs, EachGetterTakesOnlyItsOwnKindAtFullWidth) {
  unsigned char bin[] = {9};
  DRAVArgs args;
  args.addArg(-2147483647 - 1);                          // 0 Int
  args.addArg(std::string("s"));                         // 1 String
  args.addArg(bin, 1, true);                             // 2 BinaryArray
  args.addArg(zu_utf8string("u"));                       // 3 UTF8String
  args.addArg(true);                                     // 4 Bool
  args.addArg(static_cast<short>(-32768));               // 5 Short
  args.addArg(-2147483647L);                             // 6 Long
  args.addArg(-1.0e300);                                 // 7 Double
  args.addArg(-3.0e38f);                                 // 8 Float
  args.addArg(static_cast<unsigned char>(255));          // 9 Byte
  args.addArg(static_cast<char>(-128));                  // 10 Char
  args.addArg(static_cast<unsigned short>(65535));       // 11 UShort
  args.addArg(4294967295ul);                             // 12 ULong
  args.addArg(4294967294u);                              // 13 UInt
  const struct {
    const char* kind;
    std::function<void(unsigned long)> get;
  } getters[] = {
      {"Integer", [&](unsigned long i) { args.getInt(i); }},
      {"String", [&](unsigned long i) { args.getString(i); }},
      {"BinaryArray", [&](unsigned long i) { args.getBinaryArray(i); }},
      {"UTF8String", [&](unsigned long i) { args.getUTF8String(i); }},
      {"Boolean", [&](unsigned long i) { args.getBoolean(i); }},
      {"Short", [&](unsigned long i) { args.getShort(i); }},
      {"Long", [&](unsigned long i) { args.getLong(i); }},
      {"Double", [&](unsigned long i) { args.getDouble(i); }},
      {"Float", [&](unsigned long i) { args.getFloat(i); }},
      {"Byte", [&](unsigned long i) { args.getByte(i); }},
      {"Char", [&](unsigned long i) { args.getChar(i); }},
      {"UShort", [&](unsigned long i) { args.getUShort(i); }},
      {"ULong", [&](unsigned long i) { args.getULong(i); }},
      {"UInt", [&](unsigned long i) { args.getUInt(i); }},
  };
  for (unsigned long g = 0; g < 14; ++g) {
    for (unsigned long i = 0; i < 14; ++i)
      EXPECT_EQ(message([&] { getters[g].get(i); }),
                i == g ? "(no exception)" : std::string("wrong argument type : ") + getters[g].kind + " expected")
          << getters[g].kind << " at " << i;
    EXPECT_EQ(message([&] { getters[g].get(14); }), "wrong argument index : index array out of bound")
        << getters[g].kind;
  }
  EXPECT_EQ(args.getInt(0), -2147483647 - 1);
  EXPECT_EQ(args.getBinaryArray(2).getData()[0], 9);
  EXPECT_EQ(args.getShort(5), -32768);
  EXPECT_EQ(args.getLong(6), -2147483647L);
  EXPECT_EQ(args.getDouble(7), -1.0e300);
  EXPECT_EQ(args.getFloat(8), -3.0e38f);
  EXPECT_EQ(args.getByte(9), 255);
  EXPECT_EQ(args.getChar(10), static_cast<char>(-128));
  EXPECT_EQ(args.getUShort(11), 65535);
  EXPECT_EQ(args.getULong(12), 4294967295ul);
  EXPECT_EQ(args.getUInt(13), 4294967294u);
}

TEST(DRAVArgs, ReadingAppendsAfterTheValuesAlreadyHeld) {
  DRAVArgs args;
  args.addArg(1);
  readInto(args, hex("00 00 00 01 00 01 00 00 00 02"));
  readInto(args, hex("00 00 00 00"));
  ASSERT_EQ(args.getArgs().size(), 2u);
  EXPECT_EQ(args.getInt(0), 1);
  EXPECT_EQ(args.getInt(1), 2);
}

TEST(DRAVArgs, ReadingOneBodyAtATimeGrowsTheListGeometrically) {
  // Each regrowth copies the whole list: growing by a constant step instead
  // of geometrically turns n appends into n regrowths and quadratic work.
  const Bytes oneValue = hex("00 00 00 01 00 01 00 00 00 07");
  DRAVArgs args;
  args.addArg(1);  // a value added on its own among those read
  // A regrowth moves the values to a new block: the first one moves with them.
  std::size_t regrowths = 0;
  const DRAVVar* first = args.getArgs()[0];
  for (int i = 0; i < 4096; ++i) {
    readInto(args, oneValue);
    if (args.getArgs()[0] != first) ++regrowths;
    first = args.getArgs()[0];
  }
  ASSERT_EQ(args.size(), 4097u);
  EXPECT_EQ(args.getInt(4096), 7);
  EXPECT_LE(regrowths, 13u) << "4097 values need 13 doublings";
}

// getArgs() hands out one vector for the list's life: whoever holds it sees
// every value where it now lies, across regrowths, reads, a failed read and a move.
TEST(DRAVArgs, TheVectorGetArgsGaveStaysInStepWithTheList) {
  DRAVArgs args;
  const std::vector<DRAVVar*>& view = args.getArgs();
  const auto inStep = [&](const DRAVArgs& list, const std::vector<DRAVVar*>& shown, std::size_t count) {
    ASSERT_EQ(shown.size(), count);
    for (std::size_t i = 0; i < count; ++i) {
      EXPECT_EQ(shown[i], &const_cast<DRAVArgs&>(list).updateArg(i)) << i;
      EXPECT_EQ(shown[i]->getInt(), static_cast<int>(i)) << i;
    }
  };
  EXPECT_TRUE(view.empty());
  for (int i = 0; i < 20; ++i) args.addArg(i);  // two regrowths past the first room
  inStep(args, view, 20);
  readInto(args, hex("00 00 00 02 00 01 00 00 00 14 00 01 00 00 00 15"));
  inStep(args, view, 22);
  EXPECT_THROW(readInto(args, hex("00 00 00 02 00 01 00 00 00 16 00 01")), DRAVException);
  inStep(args, view, 22);
  DRAVArgs moved(std::move(args));
  inStep(moved, moved.getArgs(), 22);
  EXPECT_TRUE(view.empty()) << "the list moved from shows nothing";
}

TEST(DRAVArgs, ACountTheDataCannotHoldIsRefusedBeforeAllocating) {
  for (const char* data : {"FF FF FF FF", "00 00 00 03 00 01 00 00 00 02", "40 00 00 00 00 00 00 00",
                           "00 00 00 02 00 05 01 00"}) {
    DRAVArgs args;
    args.addArg(std::string("kept"));
    EXPECT_THROW(readInto(args, hex(data)), DRAVException) << data;
    ASSERT_EQ(args.getArgs().size(), 1u) << "a failed read leaves the list as it was: " << data;
    EXPECT_EQ(args.getString(0), "kept");
  }
}

TEST(DRAVArgs, ABinaryValueWithALengthButNoDataIsRefused) {
  DRAVArgs args;
  for (bool copy : {false, true}) {
    EXPECT_EQ(message([&] { args.addArg(nullptr, 3, copy); }), "binary value of 3 bytes has no data") << copy;
    EXPECT_THROW(args.addArg(nullptr, 3, copy), DRAVException);
  }
  EXPECT_EQ(message([&] { DRAVVar(new DRAVTypes::DRAVArray<unsigned char>(nullptr, 2, false)); }),
            "binary value of 2 bytes has no data");
  args.addArg(nullptr, 0, false);
  EXPECT_EQ(body(args), "00 00 00 01 00 03 00 00 00 00");
}

// Int 5, String "abc" (a block of 4), binary AB CD EF (3 bytes).
const char* const kThreeValues =
    "00 00 00 03  00 01 00 00 00 05  00 02 00 00 00 04 61 62 63 00  00 03 00 00 00 03 AB CD EF";
constexpr std::uint64_t kValueCost = sizeof(DRAVVar) + sizeof(DRAVVar*);

// Reads `values` into `args` under a budget of `limit`; the exception's text, or "".
std::string readUnder(DRAVArgs& args, const Bytes& values, DRAVDecodeBudget& budget) {
  Bytes data = withMarker(values);
  DRAVDataInputStream in(data.data(), data.size());
  in.setBudget(&budget);
  return message([&] { args.readObject(in); });
}

TEST(DRAVArgs, ABodyThatCostsExactlyTheBudgetIsReadAndOneByteLessIsRefused) {
  const std::uint64_t cost = 3 * kValueCost + 4 + 3;
  DRAVDecodeBudget enough(cost);
  DRAVArgs args;
  EXPECT_EQ(readUnder(args, hex(kThreeValues), enough), "(no exception)");
  EXPECT_EQ(enough.used(), cost);
  EXPECT_FALSE(enough.exceeded());
  EXPECT_EQ(args.getString(1), "abc");

  DRAVDecodeBudget short1(cost - 1);
  DRAVArgs kept;
  kept.addArg(std::string("kept"));
  EXPECT_EQ(readUnder(kept, hex(kThreeValues), short1),
            "decode budget exceeded: a binary value needs 3 bytes, 2 of " + std::to_string(cost - 1) + " left");
  EXPECT_TRUE(short1.exceeded());
  ASSERT_EQ(kept.size(), 1u) << "a refused body leaves the list as it was";
  EXPECT_EQ(kept.getString(0), "kept");

  // The storage of all values is asked for before any is allocated.
  DRAVDecodeBudget storage(3 * kValueCost - 1);
  const std::string left = std::to_string(3 * kValueCost - 1);
  EXPECT_EQ(readUnder(kept, hex(kThreeValues), storage), "decode budget exceeded: value storage needs " +
                                                               std::to_string(3 * kValueCost) + " bytes, " + left +
                                                               " of " + left + " left");
  EXPECT_EQ(storage.used(), 0u);
  EXPECT_EQ(kept.size(), 1u);
}

TEST(DRAVArgs, FourMillionEmptyValuesCostTheirStorageNotTheirTwoBytes) {
  const std::uint32_t count = 4u << 20;  // 8 MiB on the wire
  Bytes values = {static_cast<unsigned char>(count >> 24), static_cast<unsigned char>(count >> 16),
                  static_cast<unsigned char>(count >> 8), static_cast<unsigned char>(count)};
  values.resize(4 + 2 * std::size_t(count), 0);
  DRAVDecodeBudget budget(16u << 20);  // twice the body
  DRAVArgs args;
  EXPECT_EQ(readUnder(args, values, budget), "decode budget exceeded: value storage needs " +
                                                 std::to_string(count * kValueCost) + " bytes, 16777216 of 16777216 left");
  EXPECT_TRUE(budget.exceeded());
  EXPECT_EQ(args.size(), 0u);
}

TEST(DRAVArgs, PerCallSettingsStartNeutralAndAreNotSerialized) {
  DRAVArgs args;
  EXPECT_EQ(args.getStreamingMode(), StreamingNo);
  EXPECT_EQ(args.getSsoToken(), "");
  EXPECT_FALSE(args.needSsoToken());
  EXPECT_EQ(args.getExtraBlob(), nullptr);
  EXPECT_EQ(args.getExtraBlobSize(), 0u);
  unsigned char blob[] = {9, 9};
  args.setStreamingMode(StreamingInOut);
  args.setSsoToken("token");
  args.needSsoToken(true);
  args.setExtraBlob(blob, 2, true);
  EXPECT_NE(args.getExtraBlob(), blob);
  EXPECT_EQ(body(args), "00 00 00 00");
  args.setExtraBlob(blob, 2, false);  // frees the owned copy first (LeakSanitizer watches)
  EXPECT_EQ(args.getExtraBlob(), blob);
  // A copy of nothing is that many zero bytes, never what the heap held.
  args.setExtraBlob(nullptr, 3, true);
  ASSERT_NE(args.getExtraBlob(), nullptr);
  EXPECT_EQ(toHex(args.getExtraBlob(), 3), "00 00 00");
}

TEST(DRAVArgs, CopiesAreDeepIncludingAnOwnedBlob) {
  unsigned char blob[] = {1, 2, 3};
  DRAVArgs original;
  original.addArg(std::string("value"));
  original.setExtraBlob(blob, 3, true);
  original.setStreamingMode(StreamingOut);
  DRAVArgs copy(original);
  EXPECT_NE(copy.getArgs()[0], original.getArgs()[0]);
  EXPECT_NE(copy.getExtraBlob(), original.getExtraBlob());
  EXPECT_EQ(copy.getExtraBlob()[2], 3);
  EXPECT_EQ(copy.getStreamingMode(), StreamingOut);
  original.setSsoToken("token");
  original.needSsoToken(true);
  DRAVArgs assigned;
  assigned.addArg(1);
  assigned = original;
  EXPECT_EQ(assigned.getArgs().size(), 1u);
  EXPECT_EQ(assigned.getString(0), "value");
  EXPECT_EQ(assigned.getStreamingMode(), StreamingOut);
  EXPECT_EQ(assigned.getSsoToken(), "token");
  EXPECT_TRUE(assigned.needSsoToken());
  EXPECT_EQ(assigned.getExtraBlobSize(), 3u);
  EXPECT_NE(assigned.getExtraBlob(), original.getExtraBlob());

  DRAVArgs moved(std::move(copy));
  EXPECT_EQ(moved.getString(0), "value");
  EXPECT_EQ(moved.getStreamingMode(), StreamingOut);
  EXPECT_EQ(moved.getExtraBlob()[2], 3);
  EXPECT_TRUE(copy.getArgs().empty());
  EXPECT_EQ(copy.getExtraBlob(), nullptr);
  EXPECT_EQ(copy.getExtraBlobSize(), 0u);
}

TEST(DRAVArgs, ReleasingFreesEveryValueTheOwnedBlobAndNothingBorrowed) {
  // Three binary values read as one block, one added on its own, an owned
  // blob: every byte buffer the lists allocate is gone once they are.
  unsigned char bytes[] = {1, 2};
  const long before = dravtest::liveArrayAllocations();
  {
    DRAVArgs args;
    readInto(args, hex("00 00 00 03  00 03 00 00 00 01 AA  00 03 00 00 00 01 BB  00 03 00 00 00 01 CC"));
    args.addArg(bytes, 2, true);
    args.setExtraBlob(bytes, 1, true);
    args.setExtraBlob(bytes, 2, true);  // the first owned blob is freed
    EXPECT_GE(dravtest::liveArrayAllocations(), before + 5) << "each value and the blob own their bytes";
    DRAVArgs copy(args);
    DRAVArgs moved(std::move(copy));
    DRAVArgs assigned;
    assigned.addArg(bytes, 2, true);
    assigned.setExtraBlob(bytes, 1, true);  // freed by the assignment
    assigned = std::move(moved);
    EXPECT_EQ(toHex(assigned.getBinaryArray(2).getData(), 1), "CC");
    EXPECT_EQ(assigned.getExtraBlobSize(), 2u);
    EXPECT_EQ(moved.size(), 0u);
    EXPECT_EQ(moved.getExtraBlob(), nullptr);
    EXPECT_EQ(moved.getExtraBlobSize(), 0u);
    DRAVArgs borrowing;
    borrowing.setExtraBlob(bytes, 2, false);
    // A value that fails to read takes those read before it along.
    EXPECT_THROW(readInto(borrowing, hex("00 00 00 02  00 03 00 00 00 01 AA  00 03 00 00 00 05 BB")), DRAVException);
    EXPECT_EQ(borrowing.size(), 0u);
  }
  EXPECT_EQ(dravtest::liveArrayAllocations(), before);
  EXPECT_EQ(bytes[1], 2);
}

TEST(DRAVArgs, ACopyThatRunsOutOfMemoryThrowsAndLeavesNothingBehind) {
  unsigned char bytes[] = {1, 2};
  DRAVArgs args;
  args.addArg(bytes, 2, true);
  args.addArg(bytes, 2, true);
  args.setExtraBlob(bytes, 2, true);
  const long before = dravtest::liveArrayAllocations();
  // The copy allocates the first value's bytes, the second's, then the blob.
  for (long failing : {0, 1, 2}) {
    dravtest::failArrayAllocationAfter(failing);
    EXPECT_THROW({ DRAVArgs copy(args); }, std::bad_alloc) << failing;
    dravtest::failArrayAllocationAfter(-1);
    EXPECT_EQ(dravtest::liveArrayAllocations(), before) << failing;
  }
  DRAVArgs copy(args);
  ASSERT_EQ(copy.size(), 2u);
  EXPECT_EQ(toHex(copy.getBinaryArray(1).getData(), 2), "01 02");
  EXPECT_EQ(copy.getExtraBlobSize(), 2u);
}

TEST(DRAVArgs, AnAppendThatCannotGrowTheListThrowsAndKeepsTheListAndTheValue) {
  unsigned char bytes[] = {1, 2};
  DRAVArgs args;
  for (int i = 0; i < 8; ++i) args.addArg(1);  // the room the first value made is full
  DRAVVar value(new DRAVTypes::DRAVArray<unsigned char>(bytes, 2, true));
  const long before = dravtest::liveArrayAllocations();
  dravtest::failObjectAllocationAfter(0);  // the list cannot grow
  EXPECT_THROW(args.addArg(std::move(value)), std::bad_alloc);
  dravtest::failObjectAllocationAfter(-1);
  ASSERT_EQ(args.size(), 8u);
  EXPECT_EQ(args.getInt(7), 1);
  EXPECT_EQ(dravtest::liveArrayAllocations(), before) << "nothing freed, nothing left behind";
  EXPECT_EQ(toHex(value.getBinaryArray(false)->getData(), 2), "01 02") << "the value stays with the caller";
}

TEST(ParamIndex, WalksForwardAndBackwardAndStopsAtTheEnds) {
  ParamIndex forward(3, true);
  EXPECT_EQ(forward.first(), 0u);
  EXPECT_EQ(forward.last(), 2u);
  std::vector<unsigned long> seen;
  for (int i = 0; i < 5; ++i) seen.push_back(forward.next());
  EXPECT_EQ(seen, (std::vector<unsigned long>{0, 1, 2, 3, 3}));

  ParamIndex backward(3, false);
  EXPECT_EQ(backward.first(), 2u);
  EXPECT_EQ(backward.last(), 0u);
  seen.clear();
  for (int i = 0; i < 4; ++i) seen.push_back(backward.next());
  EXPECT_EQ(seen, (std::vector<unsigned long>{2, 1, 0, 0}));
  EXPECT_EQ(ParamIndex(3, false).prev(), 3u);

  EXPECT_EQ(ParamIndex(0, true).last(), 4294967295ul) << "counts in 32 bits on every host";
}

}  // namespace
