// DRAVVar: wire vectors for every kind, getter conversions and refusals,
// nested objects, compressed binary values, hostile input.
#include <drav/common/exception.h>
#include <drav/compression/compression.h>
#include <drav/serialization/decode_budget.h>
#include <drav/serialization/input_stream.h>
#include <drav/serialization/output_stream.h>
#include <drav/serialization/size_calculator.h>
#include <drav/serialization/typed_value.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "../compression/allocation_probe.h"
#include "support/bytes.h"

using dravtest::Bytes;
using dravtest::hex;
using dravtest::payload;
using dravtest::toHex;
using dravtest::withMarker;

namespace {

std::string written(const DRAVVar& v) {
  DRAVDataOutputStream out;
  v.writeObject(out);
  DRAVDataTypedStream sizes;
  EXPECT_EQ(v.objectSize(&sizes), out.size() - 1) << "objectSize must equal what writeObject appends";
  const std::string bytes = toHex(payload(out));
  // The same bytes when the buffer has only 0 to 12 bytes of room left.
  for (unsigned long room = 0; room <= 12; ++room)
    EXPECT_EQ(toHex(dravtest::appendedWithRoom(room, [&](DRAVDataOutputStream& o) { v.writeObject(o); })), bytes)
        << "room " << room;
  return bytes;
}

DRAVVar readBack(const Bytes& values) {
  Bytes data = withMarker(values);
  DRAVDataInputStream in(data.data(), data.size());
  DRAVVar v;
  v.readObject(in);
  return v;
}

std::string getterMessage(const std::function<void()>& call) {
  try {
    call();
  } catch (const DRAVException& e) {
    return e.what();
  }
  return "(no exception)";
}

TEST(DRAVVar, WritesEveryKindWithItsTag) {
  unsigned char bin[] = {0xAB, 0xCD};
  const struct {
    DRAVVar value;
    const char* bytes;
  } table[] = {
      {DRAVVar(), "00 00"},
      {DRAVVar(5), "00 01 00 00 00 05"},
      {DRAVVar(std::string("abc")), "00 02 00 00 00 04 61 62 63 00"},
      {DRAVVar(std::string()), "00 02 00 00 00 01 00"},
      {DRAVVar(new DRAVTypes::DRAVArray<unsigned char>(bin, 2, true)), "00 03 00 00 00 02 AB CD"},
      {DRAVVar(zu_utf8string("\xC3\xA9")), "00 04 00 00 00 03 C3 A9 00"},
      {DRAVVar(true), "00 05 01"},
      {DRAVVar(static_cast<short>(-2)), "00 06 FF FE"},
      {DRAVVar(-3L), "00 07 FF FF FF FD"},
      {DRAVVar(1.0), "00 08 3F F0 00 00 00 00 00 00"},
      {DRAVVar(1.5f), "00 09 3F C0 00 00"},
      {DRAVVar(static_cast<unsigned char>(200)), "00 0A C8"},
      {DRAVVar('z'), "00 0B 7A"},
      {DRAVVar(static_cast<unsigned short>(40000)), "00 0C 9C 40"},
      {DRAVVar(4000000000ul), "00 0D EE 6B 28 00"},
      {DRAVVar(7u), "00 0E 00 00 00 07"},
  };
  for (const auto& row : table) {
    EXPECT_EQ(written(row.value), toHex(hex(row.bytes)));
    DRAVVar back = readBack(hex(row.bytes));
    EXPECT_EQ(back.getType(), row.value.getType()) << row.bytes;
    EXPECT_EQ(written(back), toHex(hex(row.bytes))) << "round trip of " << row.bytes;
  }
}

TEST(DRAVVar, AStringLiteralIsTextNotABool) {
  DRAVVar v("abc");
  EXPECT_EQ(v.getType(), DRAVVar::String);
  EXPECT_EQ(v.getString(), "abc");
}

TEST(DRAVVar, GettersConvertWithinAFamilyAndRefuseOthersWithTheirMessage) {
  EXPECT_EQ(DRAVVar(1.5f).getDouble(), 1.5);
  EXPECT_EQ(DRAVVar(static_cast<short>(-1)).getLong(), -1);
  EXPECT_TRUE(DRAVVar(static_cast<short>(-1)).getBool());
  EXPECT_EQ(DRAVVar(static_cast<unsigned short>(40000)).getULong(), 40000u);
  EXPECT_EQ(DRAVVar(70000).getShort(), static_cast<short>(70000 & 0xFFFF));
  EXPECT_FALSE(DRAVVar(0u).getBool());
  EXPECT_EQ(DRAVVar(2.0).getFloat(), 2.0f);

  const struct {
    std::function<void()> call;
    const char* message;
  } refusals[] = {
      {[] { DRAVVar(1.5f).getLong(); }, "wrong argument type : Integer/Long/Short expected"},
      {[] { DRAVVar(static_cast<unsigned short>(1)).getLong(); }, "wrong argument type : Integer/Long/Short expected"},
      {[] { DRAVVar('a').getLong(); }, "wrong argument type : Integer/Long/Short expected"},
      {[] { DRAVVar(5).getULong(); }, "wrong argument type : UInt/ULong/UShort expected"},
      {[] { DRAVVar(0.0).getBool(); }, "wrong argument type : Boolean expected"},
      {[] { DRAVVar(5).getDouble(); }, "wrong argument type : Double/Float expected"},
      {[] { DRAVVar(5).getString(); }, "wrong argument type : String expected"},
      {[] { DRAVVar("x").getUTF8String(); }, "wrong argument type : String expected"},
      {[] { DRAVVar(5).getBinaryArray(false); }, "wrong argument type : BinaryArray expected"},
      {[] { DRAVVar('a').getUChar(); }, "wrong argument type : Byte expected"},
      {[] { DRAVVar(static_cast<unsigned char>(1)).getChar(); }, "wrong argument type : Byte expected"},
  };
  for (const auto& r : refusals) EXPECT_EQ(getterMessage(r.call), r.message);
}

TEST(DRAVVar, GettersReadTheFullWidthOfWhatIsStored) {
  // Sign extension from each signed width, zero extension from each unsigned one.
  EXPECT_EQ(DRAVVar(-1).getLong(), -1L);
  EXPECT_EQ(DRAVVar(-2147483647L - 1).getLong(), -2147483647L - 1);
  EXPECT_EQ(DRAVVar(static_cast<short>(-32768)).getInt(), -32768);
  EXPECT_EQ(DRAVVar(4294967295ul).getULong(), 4294967295ul);
  EXPECT_EQ(DRAVVar(4294967295u).getUInt(), 4294967295u);
  EXPECT_EQ(DRAVVar(static_cast<unsigned short>(65535)).getUInt(), 65535u);
  EXPECT_EQ(DRAVVar(static_cast<char>(-128)).getChar(), static_cast<char>(-128));
  EXPECT_EQ(DRAVVar(static_cast<unsigned char>(255)).getUChar(), 255);
  // Narrowing keeps the low bits.
  EXPECT_EQ(DRAVVar(0x12345678ul).getUShort(), 0x5678);
  EXPECT_EQ(DRAVVar(-65536 - 2).getShort(), -2);
  EXPECT_EQ(DRAVVar(0.1f).getDouble(), static_cast<double>(0.1f));
  EXPECT_EQ(DRAVVar(0.1).getFloat(), 0.1f);
  // Every stored bit counts for getBool, whatever the width.
  EXPECT_TRUE(DRAVVar(0x10000).getBool());
  EXPECT_TRUE(DRAVVar(0x80000000ul).getBool());
  EXPECT_TRUE(DRAVVar(static_cast<short>(0x100)).getBool());
  EXPECT_TRUE(DRAVVar(static_cast<unsigned short>(0x8000)).getBool());
  EXPECT_TRUE(DRAVVar(static_cast<char>(-128)).getBool());
  EXPECT_FALSE(DRAVVar(static_cast<unsigned char>(0)).getBool());
  EXPECT_FALSE(DRAVVar(false).getBool());

  const struct {
    std::function<void()> call;
    const char* message;
  } refusals[] = {
      {[] { DRAVVar(4294967295ul).getLong(); }, "wrong argument type : Integer/Long/Short expected"},
      {[] { DRAVVar(1u).getInt(); }, "wrong argument type : Integer/Long/Short expected"},
      {[] { DRAVVar(true).getShort(); }, "wrong argument type : Integer/Long/Short expected"},
      {[] { DRAVVar(static_cast<unsigned char>(1)).getLong(); }, "wrong argument type : Integer/Long/Short expected"},
      {[] { DRAVVar(-1L).getULong(); }, "wrong argument type : UInt/ULong/UShort expected"},
      {[] { DRAVVar(static_cast<short>(1)).getUInt(); }, "wrong argument type : UInt/ULong/UShort expected"},
      {[] { DRAVVar(static_cast<unsigned char>(1)).getUShort(); }, "wrong argument type : UInt/ULong/UShort expected"},
      {[] { DRAVVar(1.0f).getBool(); }, "wrong argument type : Boolean expected"},
      {[] { DRAVVar().getBool(); }, "wrong argument type : Boolean expected"},
      {[] { DRAVVar("1").getBool(); }, "wrong argument type : Boolean expected"},
      {[] { DRAVVar(1L).getFloat(); }, "wrong argument type : Double/Float expected"},
      {[] { DRAVVar(true).getUChar(); }, "wrong argument type : Byte expected"},
      {[] { DRAVVar(static_cast<short>(1)).getChar(); }, "wrong argument type : Byte expected"},
      {[] { DRAVVar(zu_utf8string("x")).getString(); }, "wrong argument type : String expected"},
  };
  for (const auto& r : refusals) EXPECT_EQ(getterMessage(r.call), r.message);
}

TEST(DRAVVar, DetachingTheBinaryArrayEmptiesTheValue) {
  unsigned char bytes[] = {1, 2, 3};
  DRAVVar v(new DRAVTypes::DRAVArray<unsigned char>(bytes, 3, true));
  DRAVTypes::DRAVArray<unsigned char>* array = v.getBinaryArray(true);
  EXPECT_EQ(array->getLength(), 3u);
  delete array;
  EXPECT_TRUE(v.isEmpty());
  EXPECT_EQ(getterMessage([&] { v.getBinaryArray(true); }), "wrong argument type : BinaryArray expected");
}

TEST(DRAVVar, CopiesAreDeepAndMovesEmptyTheSource) {
  DRAVVar original(std::string("shared?"));
  DRAVVar copy(original);
  DRAVVar assigned;
  assigned = original;
  EXPECT_NE(&copy.getString(), &original.getString());
  EXPECT_EQ(assigned.getString(), "shared?");
  DRAVVar moved(std::move(copy));
  EXPECT_EQ(moved.getString(), "shared?");
  EXPECT_TRUE(copy.isEmpty());
  assigned = 5;  // releases the string (LeakSanitizer watches)
  EXPECT_EQ(assigned.getInt(), 5);
}

TEST(DRAVVar, LongsOutsideThirtyTwoBitsAreRefused) {
  if (sizeof(long) <= 4) GTEST_SKIP() << "long is 32 bits on this host";
  EXPECT_THROW(DRAVVar(static_cast<long>(static_cast<long long>(INT32_MAX) + 1)), DRAVException);
  EXPECT_THROW(DRAVVar(static_cast<unsigned long>(UINT32_MAX) + 1), DRAVException);
  EXPECT_EQ(DRAVVar(static_cast<long>(INT32_MIN)).getLong(), INT32_MIN);
}

TEST(DRAVVar, ReadingSkipsLineBreaksBeforeTheTag) {
  DRAVVar v = readBack(hex("0D 0A 0D 00 03 00 00 00 02 AB CD"));
  ASSERT_EQ(v.getType(), DRAVVar::BinaryArray);
  auto* array = v.getBinaryArray(false);
  EXPECT_EQ(toHex(array->getData(), array->getLength()), "AB CD");
}

TEST(DRAVVar, AnUnknownTagIsKeptAndRefusesEveryGetter) {
  DRAVVar v = readBack(hex("00 2A"));
  EXPECT_EQ(v.getType(), 42u);
  EXPECT_EQ(written(v), "00 2A");
  EXPECT_THROW(v.getInt(), DRAVException);
  EXPECT_THROW(v.getString(), DRAVException);
  EXPECT_THROW(v.getBool(), DRAVException);
}

TEST(DRAVVar, DataEndingBeforeTheTagLeavesTheValueEmpty) {
  for (const char* data : {"", "0D 0A", "00"}) {
    DRAVVar v = readBack(hex(data));
    EXPECT_TRUE(v.isEmpty()) << data;
  }
}

TEST(DRAVVar, ATruncatedPayloadIsRefusedAndLeavesTheValueEmpty) {
  for (const char* data : {"00 01 00 00 00", "00 08 3F F0", "00 02 00 00 00 09 61", "00 03 FF FF FF FF 00",
                           "00 05", "00 06 01"}) {
    Bytes bytes = withMarker(hex(data));
    DRAVDataInputStream in(bytes.data(), bytes.size());
    DRAVVar v(std::string("previous"));
    EXPECT_THROW(v.readObject(in), DRAVException) << data;
    EXPECT_TRUE(v.isEmpty()) << data;
  }
}

struct OneByte : DRAVTypedSerializable {
  void writeObject(DRAVOutputStream& out) const override { out.writeByte(0x09); }
  unsigned long objectSize(DRAVDataTypedStream*) const override { return 1; }
  unsigned long typeId() const override { return 7; }
};

TEST(DRAVVar, NestedObjectsAreStoredAsAWholeSerializedBuffer) {
  OneByte object;
  DRAVVar typed(&object, true);
  const auto& stored = typed.getObjectBytes();
  EXPECT_EQ(toHex(stored.getData(), stored.getLength()), toHex(withMarker(hex("00 00 00 07 09"))));
  std::string marker = toHex(withMarker({}));
  EXPECT_EQ(written(typed), "00 10 00 00 00 06 " + marker + " 00 00 00 07 09");

  DRAVVar untyped(static_cast<const DRAVSerializable*>(&object), false);
  EXPECT_EQ(written(untyped), "00 0F 00 00 00 02 " + marker + " 09");
  DRAVVar back = readBack(hex(written(untyped)));
  EXPECT_EQ(back.getType(), DRAVVar::Object);

  // The base writes nothing and sizes nothing: untyped it stores only the marker.
  DRAVSerializable plain;
  DRAVDataTypedStream sizes;
  EXPECT_EQ(plain.objectSize(&sizes), 0u);
  EXPECT_EQ(written(DRAVVar(&plain, false)), "00 0F 00 00 00 01 " + marker);
  EXPECT_THROW(DRAVVar(&plain, true), DRAVException) << "typed needs a type identifier";
}

TEST(DRAVVar, ACompressedBinaryValueIsDecompressedWhileRead) {
  std::string text;
  for (int i = 0; i < 5000; ++i) text += "compressible line " + std::to_string(i % 10) + "\n";
  unsigned char* data = reinterpret_cast<unsigned char*>(text.data());
  unsigned long length = static_cast<unsigned long>(text.size());
  DRAVCompression::DRAVCompressedData stored(data, length, false);
  ASSERT_TRUE(DRAVCompression::DRAVUncompressedData::isDataCompressed(stored.getData(), stored.getLength()));

  DRAVVar sent(new DRAVTypes::DRAVArray<unsigned char>(stored.getData(), stored.getLength(), true));
  DRAVDataOutputStream out;
  sent.writeObject(out);
  DRAVDataInputStream in(out.getBuffer(0), out.size());
  DRAVVar received;
  received.readObject(in);
  auto* array = received.getBinaryArray(false);
  ASSERT_EQ(array->getLength(), text.size());
  EXPECT_EQ(std::string(reinterpret_cast<char*>(array->getData()), array->getLength()), text);
}

TEST(DRAVVar, ACorruptCompressedValueIsRefused) {
  Bytes block = hex("5B 44 52 41 56 5F 5A 3D 31 30 5D 78 9C FF FF");  // "[DRAV_Z=10]" + garbage
  Bytes value = hex("00 03 00 00 00 0F");
  value.insert(value.end(), block.begin(), block.end());
  Bytes data = withMarker(value);
  DRAVDataInputStream in(data.data(), data.size());
  DRAVVar v;
  EXPECT_THROW(v.readObject(in), DRAVCompression::DRAVCompressionException);
  EXPECT_TRUE(v.isEmpty());
}

// A value whose block is `header` followed by a zlib stream of `plain` zeros.
Bytes compressedZeros(const std::string& header, std::size_t plain) {
  std::vector<unsigned char> zeros(plain, 0);
  unsigned char* data = zeros.data();
  unsigned long length = static_cast<unsigned long>(plain);
  DRAVCompression::DRAVCompressedData stored(data, length, false);
  const std::string proper = "[DRAV_Z=" + std::to_string(plain) + "]";
  Bytes block(header.begin(), header.end());
  block.insert(block.end(), stored.getData() + proper.size(), stored.getData() + stored.getLength());
  Bytes value = hex("00 03");
  for (int shift = 24; shift >= 0; shift -= 8) value.push_back(static_cast<unsigned char>(block.size() >> shift));
  value.insert(value.end(), block.begin(), block.end());
  return withMarker(value);
}

// The message of the compression refusal `read` throws; "(no exception)" otherwise.
std::string compressionRefusal(const std::function<void()>& read) {
  try {
    read();
  } catch (const DRAVCompression::DRAVCompressionException& e) {
    return e.what();
  }
  return "(no exception)";
}

TEST(DRAVVar, ACompressedValueIsChargedItsAnnouncedLengthBeforeItIsDecompressed) {
  const std::uint64_t plain = 1 << 20;
  const Bytes data = compressedZeros("[DRAV_Z=1048576]", plain);
  for (std::uint64_t limit : {plain, plain - 1}) {
    SCOPED_TRACE(limit);
    DRAVDecodeBudget budget(limit);
    DRAVDataInputStream in(data.data(), static_cast<unsigned long>(data.size()));
    in.setBudget(&budget);
    DRAVVar v;
    dravtest::resetLargestArrayAllocation();
    if (limit == plain) {
      v.readObject(in);
      EXPECT_EQ(v.getBinaryArray(false)->getLength(), plain);
      EXPECT_EQ(budget.used(), plain);
      EXPECT_FALSE(budget.exceeded());
    } else {
      EXPECT_EQ(compressionRefusal([&] { v.readObject(in); }),
                "decode budget exceeded: the payload announces 1048576 bytes, 1048575 left");
      EXPECT_TRUE(v.isEmpty());
      EXPECT_EQ(budget.used(), 0u);
      EXPECT_TRUE(budget.exceeded());
      EXPECT_LT(dravtest::largestArrayAllocation(), 65536u) << "refused before the plain form was allocated";
    }
  }

  // A bomb: 64 MiB of zeros in a few dozen KiB, within deflate's ratio, so
  // only the budget stops it.
  const Bytes bomb = compressedZeros("[DRAV_Z=67108864]", 64u << 20);
  DRAVDecodeBudget small(1u << 20);
  DRAVDataInputStream bombStream(bomb.data(), static_cast<unsigned long>(bomb.size()));
  bombStream.setBudget(&small);
  DRAVVar v;
  dravtest::resetLargestArrayAllocation();
  EXPECT_EQ(compressionRefusal([&] { v.readObject(bombStream); }),
            "decode budget exceeded: the payload announces 67108864 bytes, 1048576 left");
  EXPECT_TRUE(small.exceeded());
  EXPECT_LT(dravtest::largestArrayAllocation(), 65536u);

  // A header announcing more than deflate can make of its stream is malformed,
  // not costly: refused before the budget is asked, and never allocated.
  for (const char* header : {"[DRAV_Z=4294967295]", "[DRAV_Z= +4000000000]", "[DRAV_Z=99999999999]"}) {
    SCOPED_TRACE(header);
    const Bytes lie = compressedZeros(header, plain);
    DRAVDecodeBudget budget(64u << 20);
    DRAVDataInputStream in(lie.data(), static_cast<unsigned long>(lie.size()));
    in.setBudget(&budget);
    DRAVVar refused;
    dravtest::resetLargestArrayAllocation();
    EXPECT_NE(compressionRefusal([&] { refused.readObject(in); }), "(no exception)");
    EXPECT_FALSE(budget.exceeded());
    EXPECT_EQ(budget.used(), 0u);
    EXPECT_LT(dravtest::largestArrayAllocation(), 65536u);
  }
}

TEST(DRAVVar, TextAndBytesAreChargedTheirBlockLength) {
  // "abc" (a block of 4), then 3 bytes: 7 in all.
  const Bytes data = withMarker(hex("00 04 00 00 00 04 61 62 63 00  00 03 00 00 00 03 AB CD EF"));
  DRAVDecodeBudget budget(7);
  DRAVDataInputStream in(data.data(), static_cast<unsigned long>(data.size()));
  in.setBudget(&budget);
  DRAVVar text, bytes;
  text.readObject(in);
  EXPECT_EQ(budget.used(), 4u);
  bytes.readObject(in);
  EXPECT_EQ(budget.used(), 7u);
  EXPECT_EQ(text.getUTF8String().str(), "abc");

  DRAVDecodeBudget tight(3);
  DRAVDataInputStream again(data.data(), static_cast<unsigned long>(data.size()));
  again.setBudget(&tight);
  EXPECT_EQ(getterMessage([&] { text.readObject(again); }), "decode budget exceeded: a string needs 4 bytes, 3 of 3 left");
  EXPECT_TRUE(text.isEmpty());
}

}  // namespace
