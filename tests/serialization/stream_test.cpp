// Byte streams: exact encodings, growth, detaching, and reading hostile data.
#include <drav/common/exception.h>
#include <drav/serialization/argument_list.h>
#include <drav/serialization/byte_array.h>
#include <drav/serialization/input_stream.h>
#include <drav/serialization/output_stream.h>
#include <drav/serialization/size_calculator.h>
#include <drav/serialization/typed_value.h>

#include <gtest/gtest.h>

#include <functional>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "support/bytes.h"

using dravtest::Bytes;
using dravtest::hex;
using dravtest::payload;
using dravtest::toHex;
using dravtest::withMarker;

namespace {

struct Encoding {
  const char* name;
  std::function<void(DRAVOutputStream&)> write;
  const char* bytes;
};

TEST(DRAVDataOutputStream, EncodesEveryPrimitiveBigEndian) {
  const Encoding table[] = {
      {"byte", [](DRAVOutputStream& o) { o.writeByte(0xAB); }, "AB"},
      {"char", [](DRAVOutputStream& o) { o.writeChar('a'); }, "61"},
      {"true", [](DRAVOutputStream& o) { o.writeBool(true); }, "01"},
      {"false", [](DRAVOutputStream& o) { o.writeBool(false); }, "00"},
      {"short -2", [](DRAVOutputStream& o) { o.writeShort(-2); }, "FF FE"},
      {"ushort", [](DRAVOutputStream& o) { o.writeUShort(0x1234); }, "12 34"},
      {"long", [](DRAVOutputStream& o) { o.writeLong(16909060); }, "01 02 03 04"},
      {"long -1", [](DRAVOutputStream& o) { o.writeLong(-1); }, "FF FF FF FF"},
      {"ulong 5", [](DRAVOutputStream& o) { o.writeULong(5); }, "00 00 00 05"},
      {"ulong max", [](DRAVOutputStream& o) { o.writeULong(4294967295ul); }, "FF FF FF FF"},
      {"float 1.0", [](DRAVOutputStream& o) { o.writeFloat(1.0f); }, "3F 80 00 00"},
      {"double 1.0", [](DRAVOutputStream& o) { o.writeDouble(1.0); }, "3F F0 00 00 00 00 00 00"},
      {"double -2.5", [](DRAVOutputStream& o) { o.writeDouble(-2.5); }, "C0 04 00 00 00 00 00 00"},
      {"bytes", [](DRAVOutputStream& o) { o.writeBytes("\x01\x02", 2); }, "00 00 00 02 01 02"},
      {"no bytes", [](DRAVOutputStream& o) { o.writeBytes(nullptr, 0); }, "00 00 00 00"},
      {"string abc", [](DRAVOutputStream& o) { o.writeString("abc"); }, "00 00 00 04 61 62 63 00"},
      {"empty string", [](DRAVOutputStream& o) { o.writeString(""); }, "00 00 00 01 00"},
      {"utf8 e-acute", [](DRAVOutputStream& o) { o.writeUTF8String(zu_utf8string("\xC3\xA9")); },
       "00 00 00 03 C3 A9 00"},
  };
  for (const Encoding& e : table) {
    DRAVDataOutputStream out;
    e.write(out);
    EXPECT_EQ(toHex(payload(out)), toHex(hex(e.bytes))) << e.name;
    // And across the end of the buffer, with 0 to 8 bytes of room left.
    for (unsigned long room = 0; room <= 8; ++room)
      EXPECT_EQ(toHex(dravtest::appendedWithRoom(room, e.write)), toHex(hex(e.bytes))) << e.name << " room " << room;
  }
}

TEST(DRAVDataOutputStream, StartsWithTheHostByteOrderMarkerAndDetachesEverything) {
  DRAVDataOutputStream out;
  ASSERT_EQ(out.size(), 1u);
  const std::uint16_t one = 1;
  EXPECT_EQ(*out.getBuffer(0), *reinterpret_cast<const unsigned char*>(&one));
  out.writeLong(7);
  unsigned long size = out.size();
  unsigned char* all = out.detach();
  EXPECT_EQ(toHex(all, size), toHex(withMarker(hex("00 00 00 07"))));
  delete[] all;
  EXPECT_EQ(out.size(), 0u);
}

TEST(DRAVDataOutputStream, RefusesLongsThatDoNotFitThirtyTwoBits) {
  if (sizeof(long) <= 4) GTEST_SKIP() << "long is 32 bits on this host";
  DRAVDataOutputStream out;
  EXPECT_THROW(out.writeLong(static_cast<long>(static_cast<long long>(INT32_MAX) + 1)), DRAVException);
  EXPECT_THROW(out.writeULong(static_cast<unsigned long>(UINT32_MAX) + 1), DRAVException);
  EXPECT_EQ(out.size(), 1u) << "nothing half-written";
}

// Lengths near 2^32 are where sums made in a 32-bit size_t wrap around: a
// refusal must come before any byte is read from (or stored past) a buffer.
TEST(DRAVDataOutputStream, LengthsNearFourGiBAreRefusedBeforeAByteIsRead) {
  const char two[2] = {'a', 'b'};  // what the lengths claim to hold: far less
  for (unsigned long length : {0xFFFFFFFFul, 0xFFFFFFFEul, 0xFFFFFFFCul, 0xFFFFFFFBul}) {
    SCOPED_TRACE(length);
    DRAVDataOutputStream out;
    out.writeByte(7);
    std::string refused = "(accepted)";
    try {
      out.writeBytes(two, length);
    } catch (const DRAVException& e) {
      refused = e.what();
    }
    EXPECT_EQ(refused, "output stream would exceed 4 GiB - 1 bytes");
    EXPECT_EQ(*out.getBuffer(1), 7) << "what was written before stays";
  }
}

TEST(DRAVDataOutputStream, AGrowthHintWithNoRoomForTheMarkerIsRefused) {
  // The hint plus the marker byte is 2^32: no 32-bit count holds it.
  EXPECT_THROW(DRAVDataOutputStream(0xFFFFFFFFul), DRAVException);
  DRAVDataOutputStream small(5);
  EXPECT_EQ(small.size(), 1u);
}

TEST(DRAVDataOutputStream, GrowsAcrossEveryPieceSizeWithoutLosingBytes) {
  for (unsigned long piece : {1ul, 2ul, 3ul, 5ul, 7ul, 13ul, 64ul, 4096ul, 70000ul}) {
    DRAVDataOutputStream out(piece % 3);
    std::string expected(1, static_cast<char>(*out.getBuffer(0)));
    std::string chunk(piece, '\0');
    for (int round = 0; round < 40; ++round) {
      for (unsigned long i = 0; i < piece; ++i) chunk[i] = static_cast<char>(round * 31 + i);
      if (piece == 1) out.write(chunk[0]);
      else out.write(chunk.data(), piece);
      expected += chunk;
    }
    ASSERT_EQ(out.size(), expected.size()) << piece;
    EXPECT_EQ(std::string(reinterpret_cast<char*>(out.getBuffer(0)), out.size()), expected) << piece;
  }
}

TEST(DRAVDataOutputStream, AppendingItsOwnBytesCopiesThemBeforeGrowing) {
  // Full capacity each time, so that every append has to grow the buffer.
  DRAVDataOutputStream out;
  out.write("abc", 3);
  std::string expected(reinterpret_cast<char*>(out.getBuffer(0)), out.size());
  for (int round = 0; round < 12; ++round) {
    out.write(reinterpret_cast<const char*>(out.getBuffer(0)), out.size());
    expected += expected;
  }
  ASSERT_EQ(out.size(), expected.size());
  EXPECT_EQ(std::string(reinterpret_cast<char*>(out.getBuffer(0)), out.size()), expected);

  DRAVDataOutputStream block;
  block.write("xyz", 3);
  std::string blockExpected(reinterpret_cast<char*>(block.getBuffer(0)), block.size());
  for (int round = 0; round < 12; ++round) {
    const unsigned long size = block.size();
    block.writeBytes(reinterpret_cast<const char*>(block.getBuffer(0)), size);
    const unsigned char length[4] = {static_cast<unsigned char>(size >> 24), static_cast<unsigned char>(size >> 16),
                                     static_cast<unsigned char>(size >> 8), static_cast<unsigned char>(size)};
    blockExpected += std::string(reinterpret_cast<const char*>(length), 4) + blockExpected;
  }
  ASSERT_EQ(block.size(), blockExpected.size());
  EXPECT_EQ(std::string(reinterpret_cast<char*>(block.getBuffer(0)), block.size()), blockExpected);
}

// A sink that publishes no memory: every byte goes through write().
class RecordingSink : public DRAVOutputStream {
public:
  unsigned long size() const override { return static_cast<unsigned long>(bytes.size()); }
  void write(char byte) override { bytes.push_back(static_cast<unsigned char>(byte)); }
  void write(const char* data, unsigned long length) override { bytes.insert(bytes.end(), data, data + length); }
  Bytes bytes;
};

TEST(DRAVOutputStream, ASinkWithoutMemoryGetsTheSameBytes) {
  RecordingSink sink;
  sink.writeByte(0x7F);
  sink.writeChar('z');
  sink.writeBool(true);
  sink.writeShort(-2);
  sink.writeUShort(0xABCD);
  sink.writeLong(-1);
  sink.writeULong(0x01020304);
  sink.writeFloat(1.0f);
  sink.writeDouble(-2.0);
  sink.writeString("ab");
  const char blob[] = {9, 8};
  sink.writeBytes(blob, 2);  // blob is not among the sink's bytes, whatever it holds
  EXPECT_EQ(toHex(sink.bytes),
            "7F 7A 01 FF FE AB CD FF FF FF FF 01 02 03 04 3F 80 00 00 C0 00 00 00 00 00 00 00 "
            "00 00 00 03 61 62 00 00 00 00 02 09 08");
}

TEST(DRAVDataOutputStream, ResetStartsANewMessageWithTheMarker) {
  DRAVDataOutputStream out;
  out.writeString("first message");
  out.reset();
  out.writeByte(5);
  EXPECT_EQ(toHex(out.getBuffer(0), out.size()), toHex(withMarker(hex("05"))));
  delete[] out.detach();
  out.reset();  // also after detach
  EXPECT_EQ(out.size(), 1u);
}

TEST(DRAVDataOutputStream, ReserveKeepsContent) {
  DRAVDataOutputStream out(3);
  out.writeString("kept");
  out.reserve(1 << 20);
  out.writeByte(9);
  EXPECT_EQ(toHex(payload(out)), "00 00 00 05 6B 65 70 74 00 09");
}

TEST(DRAVDataInputStream, StartsAfterTheMarkerAndReadsWhatWasWritten) {
  DRAVDataOutputStream out;
  out.writeShort(-2);
  out.writeUShort(40000);
  out.writeLong(-123456);
  out.writeULong(4000000000ul);
  out.writeFloat(1.5f);
  out.writeDouble(-0.125);
  out.writeString("text");
  out.writeUTF8String(zu_utf8string("\xE2\x82\xAC"));
  DRAVDataInputStream in(out.getBuffer(0), out.size());
  short s;
  unsigned short us;
  long l;
  unsigned long ul;
  float f;
  double d;
  std::string text;
  zu_utf8string utf8;
  in.readShort(s);
  in.readShort(us);
  in.readLong(l);
  in.readLong(ul);
  in.readFloat(f);
  in.readDouble(d);
  in.readString(text);
  in.readUTF8String(utf8);
  EXPECT_EQ(s, -2);
  EXPECT_EQ(us, 40000);
  EXPECT_EQ(l, -123456);
  EXPECT_EQ(ul, 4000000000ul);
  EXPECT_EQ(f, 1.5f);
  EXPECT_EQ(d, -0.125);
  EXPECT_EQ(text, "text");
  EXPECT_EQ(utf8.str(), "\xE2\x82\xAC");
  EXPECT_EQ(in.remaining(), 0u);
}

TEST(DRAVDataInputStream, AStringIsItsBlockWithoutTheFinalNulAndKeepsTheNulsInside) {
  struct Case {
    const char* block;
    std::string text;
  } cases[] = {
      {"00 00 00 03 61 62 63", "abc"},                   // no terminator
      {"00 00 00 04 61 00 62 00", std::string("a\0b", 3)},  // a NUL inside is the text's own
      {"00 00 00 03 61 00 00", std::string("a\0", 2)},
      {"00 00 00 00", ""},                               // empty block
      {"00 00 00 01 00", ""},
  };
  for (const Case& c : cases) {
    Bytes data = withMarker(hex(c.block));
    DRAVDataInputStream in(data.data(), data.size());
    std::string text = "previous";
    in.readString(text);
    EXPECT_EQ(text, c.text) << c.block;
    EXPECT_EQ(in.remaining(), 0u) << c.block;
  }
  // What the writer sends comes back whole, in a value and in a list.
  const std::string secret("key\0secret-part", 15);
  DRAVArgs args;
  args.addArg(secret);
  args.addArg(zu_utf8string(secret.data(), secret.size()));
  DRAVDataOutputStream out;
  args.writeObject(out);
  DRAVDataInputStream in(out.getBuffer(0), out.size());
  DRAVArgs back;
  back.readObject(in);
  EXPECT_EQ(secret, back.getString(0));
  EXPECT_EQ(secret, back.getUTF8String(1).str());
}

TEST(DRAVDataInputStream, ReadByteAnswersMinusOneAtTheEndAndKeepsTheTarget) {
  Bytes data = withMarker(hex("07"));
  DRAVDataInputStream in(data.data(), data.size());
  bool flag = false;
  EXPECT_EQ(in.readBool(flag), 1);
  EXPECT_TRUE(flag) << "any non-zero byte reads as true";
  unsigned char byte = 42;
  EXPECT_EQ(in.readByte(byte), -1);
  EXPECT_EQ(byte, 42);
}

TEST(DRAVDataInputStream, ReadingTruncatedValuesIsRefusedAndLeavesTargets) {
  const struct {
    const char* name;
    const char* data;
    std::function<void(DRAVInputStream&)> read;
  } cases[] = {
      {"short", "01", [](DRAVInputStream& in) { short v = 5; EXPECT_THROW(in.readShort(v), DRAVException); EXPECT_EQ(v, 5); }},
      {"long", "01 02 03", [](DRAVInputStream& in) { long v = 5; EXPECT_THROW(in.readLong(v), DRAVException); EXPECT_EQ(v, 5); }},
      {"double", "3F F0 00 00 00 00 00", [](DRAVInputStream& in) { double v = 5; EXPECT_THROW(in.readDouble(v), DRAVException); EXPECT_EQ(v, 5); }},
      {"length", "00 00", [](DRAVInputStream& in) { std::string v = "x"; EXPECT_THROW(in.readString(v), DRAVException); EXPECT_EQ(v, "x"); }},
      {"block", "00 00 00 05 61 62", [](DRAVInputStream& in) { std::string v = "x"; EXPECT_THROW(in.readString(v), DRAVException); EXPECT_EQ(v, "x"); }},
      {"huge block", "FF FF FF FF 61", [](DRAVInputStream& in) {
         const unsigned char* p; unsigned long n = 0;
         EXPECT_THROW(in.readBytes(p, n, true), DRAVException); }},
  };
  for (const auto& c : cases) {
    Bytes data = withMarker(hex(c.data));
    DRAVDataInputStream in(data.data(), data.size());
    SCOPED_TRACE(c.name);
    c.read(in);
  }
}

// A reader over its own copy of a buffer without a marker that notes each
// block it is asked for.
struct HeldBytes {
  Bytes held;
};
class BlockWatchingStream : private HeldBytes, public DRAVInputStream {
public:
  explicit BlockWatchingStream(Bytes data)
      : HeldBytes{std::move(data)}, DRAVInputStream(held.data(), static_cast<unsigned long>(held.size())) {}
  void readBlock(const unsigned char*& data, unsigned long& length, bool binary) override {
    asked.push_back(length);
    binaries.push_back(binary);
    DRAVInputStream::readBlock(data, length, binary);
  }
  std::vector<unsigned long> asked;
  std::vector<bool> binaries;
};

TEST(DRAVInputStream, TheBlockReaderIsToldWhichBlocksAreBinary) {
  // A binary value, a string, a UTF-8 string.
  BlockWatchingStream in(hex("00 03 00 00 00 02 AB CD  00 02 00 00 00 02 78 00  00 04 00 00 00 02 79 00"));
  DRAVVar binary, text, utf8;
  binary.readObject(in);
  text.readObject(in);
  utf8.readObject(in);
  EXPECT_EQ(in.asked, (std::vector<unsigned long>{2, 2, 2}));
  EXPECT_EQ(in.binaries, (std::vector<bool>{true, false, false}));
  EXPECT_EQ(toHex(binary.getBinaryArray(false)->getData(), 2), "AB CD");
  EXPECT_EQ(text.getString(), "x");
  EXPECT_EQ(utf8.getUTF8String().str(), "y");
}

TEST(DRAVInputStream, ABlockLongerThanWhatIsLeftIsRefusedBeforeTheBlockReaderSeesIt) {
  // "A", then a block of 4 or 5 where 4 bytes are left: the bound counts from
  // the current position, not from the start of the buffer.
  for (const char* length : {"04", "05"}) {
    const Bytes data = hex(std::string("00 00 00 01 41  00 00 00 ") + length + " 61 62 63 64");
    BlockWatchingStream in(data);
    std::string first, second = "kept";
    in.readString(first);
    EXPECT_EQ(first, "A");
    std::string refused = "(no exception)";
    try {
      in.readString(second);
    } catch (const DRAVException& e) {
      refused = e.what();
    }
    if (length[1] == '4') {
      EXPECT_EQ(refused, "(no exception)");
      EXPECT_EQ(second, "abcd");
      EXPECT_EQ(in.asked, (std::vector<unsigned long>{1, 4}));
    } else {
      EXPECT_EQ(refused, "truncated data: a block needs 5 bytes, 4 left");
      EXPECT_EQ(second, "kept");
      EXPECT_EQ(in.asked, (std::vector<unsigned long>{1})) << "the block reader never sees the refused length";
    }
  }
}

TEST(DRAVInputStream, ABlockLengthThatWrapsPastTheEndFromWhereTheReaderStandsIsRefused) {
  // "A", then lengths that, added to the position behind them (9), wrap 32
  // bits to less than the 11 bytes held.
  for (const char* length : {"FF FF FF FA", "FF FF FF FC", "FF FF FF FF"}) {
    SCOPED_TRACE(length);
    BlockWatchingStream in(hex(std::string("00 00 00 01 41  ") + length + " 61 62"));
    std::string first, second = "kept";
    in.readString(first);
    ASSERT_EQ(in.position(), 5u);
    std::string refused = "(no exception)";
    try {
      in.readString(second);
    } catch (const DRAVException& e) {
      refused = e.what();
    }
    EXPECT_EQ(refused.rfind("truncated data: a block needs 42949672", 0), 0u) << refused;
    EXPECT_EQ(refused.substr(refused.size() - 8), ", 2 left");
    EXPECT_EQ(second, "kept");
    EXPECT_EQ(in.asked, (std::vector<unsigned long>{1}));
  }
}

TEST(DRAVDataInputStream, EmptyBufferHasNothingToRead) {
  DRAVDataInputStream in(nullptr, 0);
  unsigned char byte;
  EXPECT_EQ(in.readByte(byte), -1);
  long value;
  EXPECT_THROW(in.readLong(value), DRAVException);
}

TEST(DRAVDataTypedStream, SizesMatchWhatTheWritersAppend) {
  DRAVDataTypedStream sizes;
  EXPECT_EQ(sizes.sizeOfString("abc"), 8u);
  EXPECT_EQ(sizes.sizeOfUTF8String(zu_utf8string("")), 5u);
  EXPECT_EQ(sizes.sizeOfBytes(nullptr, 10), 14u);
  EXPECT_EQ(sizes.sizeOfDouble(), 8u);
  EXPECT_EQ(sizes.sizeOfShort(), 2u);
  EXPECT_EQ(sizes.sizeOfLong(), 4u);
}

TEST(DRAVArray, OwnsOnlyWhatItCopiedOrTookOver) {
  unsigned char caller[4] = {1, 2, 3, 4};
  {
    DRAVTypes::DRAVArray<unsigned char> borrowed(caller, 4, false);
    EXPECT_EQ(borrowed.getData(), caller);
    EXPECT_FALSE(borrowed.ownsData());
  }  // must not free the caller's stack bytes (ASan would report it)
  DRAVTypes::DRAVArray<unsigned char> copied(caller, 4, true);
  EXPECT_NE(copied.getData(), caller);
  caller[0] = 9;
  EXPECT_EQ(copied.getData()[0], 1);

  DRAVTypes::DRAVArray<unsigned char> borrowed(caller, 4, false);
  DRAVTypes::DRAVArray<unsigned char> taken(borrowed, true);
  EXPECT_EQ(borrowed.getLength(), 0u);
  EXPECT_EQ(borrowed.getData(), nullptr);
  EXPECT_TRUE(taken.ownsData());
  EXPECT_NE(taken.getData(), caller) << "a borrowed buffer is copied, never handed to delete[]";
  EXPECT_EQ(taken.getData()[0], 9);

  unsigned char* raw = copied.detach();
  EXPECT_EQ(copied.getLength(), 0u);
  EXPECT_EQ(copied.getData(), nullptr);
  delete[] raw;
}

// A vector taken over goes back out as the same buffer however the array
// moved meanwhile, and keeps the length the array last had.
TEST(DRAVArray, AVectorTakenOverGoesBackOutWithoutACopy) {
  std::vector<unsigned char> bytes(1000, 5);
  const unsigned char* at = bytes.data();
  auto adopted = DRAVTypes::DRAVArray<unsigned char>::adopt(std::move(bytes));
  EXPECT_TRUE(adopted.ownsData());
  DRAVTypes::DRAVArray<unsigned char> moved(std::move(adopted));
  EXPECT_EQ(nullptr, adopted.getData());
  DRAVTypes::DRAVArray<unsigned char> taken(moved, true);
  EXPECT_EQ(at, taken.getData());
  EXPECT_TRUE(taken.holdsVector());
  unsigned char three[3] = {1, 2, 3};
  taken.assign(three, 3);
  EXPECT_EQ(at, taken.getData()) << "refilled within its room";
  const std::vector<unsigned char> back = taken.takeVector();
  EXPECT_EQ(at, back.data());
  EXPECT_EQ((std::vector<unsigned char>{1, 2, 3}), back);
  EXPECT_EQ(0u, taken.getLength());

  // Copies and detached buffers are the caller's own, freed with delete[]
  // (AddressSanitizer checks the pairing).
  auto again = DRAVTypes::DRAVArray<unsigned char>::adopt(std::vector<unsigned char>{4, 5});
  const DRAVTypes::DRAVArray<unsigned char> copy(again);
  EXPECT_NE(copy.getData(), again.getData());
  unsigned char* raw = again.detach();
  EXPECT_EQ(5, raw[1]);
  delete[] raw;
  unsigned char lent[2] = {8, 9};
  DRAVTypes::DRAVArray<unsigned char> borrowed(lent, 2, false);
  EXPECT_EQ((std::vector<unsigned char>{8, 9}), borrowed.takeVector());
  EXPECT_EQ(8, lent[0]);
}

TEST(DRAVArray, AssignmentIsADeepCopy) {
  unsigned char bytes[3] = {7, 8, 9};
  DRAVTypes::DRAVArray<unsigned char> a(bytes, 3, true);
  DRAVTypes::DRAVArray<unsigned char> b(nullptr, 0, true);
  b = a;
  ASSERT_EQ(b.getLength(), 3u);
  EXPECT_NE(b.getData(), a.getData());
  b.getData()[0] = 1;
  EXPECT_EQ(a.getData()[0], 7);
}

}  // namespace
