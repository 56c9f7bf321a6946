// Value kinds of C++ types: which received values a type takes (the typed
// getters' conversions, within the type's range), the kind each type goes
// out as, binaries compressed at the threshold, application objects read
// back, and a typed client's answer read in pieces of any size.
#include <drav/compression/compression.h>
#include <drav/serialization/output_stream.h>
#include <drav/typed/answer_reading.h>
#include <drav/typed/bridge_client.h>
#include <drav/typed/value_kinds.h>

#include <gtest/gtest.h>

#include <climits>

namespace {

using DRAVTyped::KindOf;
using Bytes = std::vector<unsigned char>;

template <typename T>
bool fits(const DRAVVar& v) {
  return KindOf<T>::fits(v);
}

TEST(ValueKinds, NumbersAreTakenFromCompatibleKindsWithinTheirRange) {
  EXPECT_TRUE(fits<int>(DRAVVar(static_cast<short>(-2))));
  EXPECT_TRUE(fits<int>(DRAVVar(static_cast<long>(INT_MIN))));
  EXPECT_FALSE(fits<int>(DRAVVar(1u)));
  EXPECT_FALSE(fits<int>(DRAVVar('1')));
  EXPECT_FALSE(fits<int>(DRAVVar(1.0)));
  EXPECT_TRUE(fits<short>(DRAVVar(-32768)));
  EXPECT_FALSE(fits<short>(DRAVVar(-32769)));
  EXPECT_FALSE(fits<short>(DRAVVar(32768)));
  EXPECT_EQ(-32768, KindOf<short>::take(DRAVVar(-32768)));
  EXPECT_TRUE(fits<long>(DRAVVar(INT_MAX)));
  EXPECT_TRUE(fits<unsigned long>(DRAVVar(static_cast<unsigned short>(7))));
  EXPECT_FALSE(fits<unsigned long>(DRAVVar(7)));
  EXPECT_TRUE(fits<unsigned short>(DRAVVar(65535u)));
  EXPECT_FALSE(fits<unsigned short>(DRAVVar(65536u)));
  EXPECT_TRUE(fits<unsigned int>(DRAVVar(4294967295ul)));
  EXPECT_FALSE(fits<unsigned int>(DRAVVar(-1)));
  EXPECT_TRUE(fits<double>(DRAVVar(1.5f)));
  EXPECT_FALSE(fits<double>(DRAVVar(1)));
  // A float takes what its nearest float holds: never an infinity for a
  // finite value, never 0 for one that is not (subnormals are held).
  EXPECT_TRUE(fits<float>(DRAVVar(3.4028235e38)));
  EXPECT_FALSE(fits<float>(DRAVVar(3.5e38)));
  EXPECT_FALSE(fits<float>(DRAVVar(-3.5e38)));
  EXPECT_TRUE(fits<float>(DRAVVar(std::numeric_limits<double>::infinity())));
  EXPECT_FALSE(fits<float>(DRAVVar(1e-50)));
  EXPECT_FALSE(fits<float>(DRAVVar(-7e-46)));
  EXPECT_TRUE(fits<float>(DRAVVar(-8e-46)));
  EXPECT_EQ(-1e-40f, KindOf<float>::take(DRAVVar(-1e-40)));
  EXPECT_TRUE(fits<float>(DRAVVar(-0.0)));
  EXPECT_TRUE(fits<char>(DRAVVar('x')));
  EXPECT_FALSE(fits<char>(DRAVVar(static_cast<unsigned char>('x'))));
  EXPECT_FALSE(fits<unsigned char>(DRAVVar('x')));
}

TEST(ValueKinds, ABoolIsTakenFromABoolOrAnyIntegerButNotFromText) {
  for (const DRAVVar& v : {DRAVVar(true), DRAVVar(2), DRAVVar(static_cast<short>(1)), DRAVVar(3L), DRAVVar(4u),
                           DRAVVar(5ul), DRAVVar(static_cast<unsigned short>(6)), DRAVVar('c'),
                           DRAVVar(static_cast<unsigned char>(1))})
    EXPECT_TRUE(fits<bool>(v)) << v.getType();
  EXPECT_FALSE(KindOf<bool>::take(DRAVVar(0)));
  for (const DRAVVar& v : {DRAVVar(1.0), DRAVVar(1.0f), DRAVVar(std::string("true")), DRAVVar()})
    EXPECT_FALSE(fits<bool>(v)) << v.getType();
}

TEST(ValueKinds, TextAndBytesAreTakenFromTheirOwnKindOnly) {
  EXPECT_TRUE(fits<std::string>(DRAVVar(std::string("a"))));
  EXPECT_FALSE(fits<std::string>(DRAVVar(zu_utf8string("a"))));
  EXPECT_FALSE(fits<zu_utf8string>(DRAVVar(std::string("a"))));
  unsigned char raw[] = {1, 2};
  const DRAVVar bytes(new DRAVTypes::DRAVArray<unsigned char>(raw, 2, true));
  EXPECT_TRUE(fits<std::vector<unsigned char>>(bytes));
  EXPECT_TRUE(fits<DRAVBytes>(bytes));
  EXPECT_FALSE(fits<std::vector<unsigned char>>(DRAVVar(std::string("ab"))));
  const DRAVBytes view = KindOf<DRAVBytes>::take(bytes);
  EXPECT_EQ(2u, view.size);
  EXPECT_EQ(2, view.data[1]);
}

TEST(ValueKinds, EachTypeGoesOutAsItsKind) {
  DRAVArgs args;
  KindOf<int>::add(args, 1);
  KindOf<unsigned int>::add(args, 1u);
  KindOf<short>::add(args, 1);
  KindOf<unsigned short>::add(args, 1);
  KindOf<long>::add(args, 1);
  KindOf<unsigned long>::add(args, 1);
  KindOf<bool>::add(args, true);
  KindOf<char>::add(args, 'c');
  KindOf<unsigned char>::add(args, 1);
  KindOf<float>::add(args, 1);
  KindOf<double>::add(args, 1);
  KindOf<std::string>::add(args, "s");
  KindOf<const char (&)[2]>::add(args, "s");
  KindOf<zu_utf8string>::add(args, zu_utf8string("u"));
  KindOf<std::vector<unsigned char>>::add(args, {1});
  KindOf<DRAVBytes>::add(args, DRAVBytes{});
  EXPECT_EQ("(Int, UInt, Short, UShort, Long, ULong, Bool, Char, UChar, Float, Double, String, String, UTF8String, "
            "BinaryArray, BinaryArray)",
            DRAVTyped::kindList(args.getArgs()));
  EXPECT_EQ("(String, Double, UChar)", (DRAVTyped::kindList<const std::string&, double, unsigned char>()));
}

TEST(ValueKinds, BinariesAtTheThresholdGoOutCompressedAndComeBackPlain) {
  const unsigned long threshold = DRAVCompression::DRAVCompressedData::getCompressionThreshold();
  const std::vector<unsigned char> below(threshold - 1, 'a');
  const std::vector<unsigned char> at(threshold, 'a');
  DRAVArgs args;
  KindOf<std::vector<unsigned char>>::add(args, below);
  KindOf<DRAVBytes>::add(args, DRAVBytes{at.data(), at.size()});
  EXPECT_EQ(below.size(), args.getBinaryArray(0).getLength());
  const auto& stored = args.getBinaryArray(1);
  EXPECT_LT(stored.getLength(), at.size() / 10);
  EXPECT_TRUE(DRAVCompression::DRAVUncompressedData::isDataCompressed(stored.getData(), stored.getLength()));

  DRAVDataOutputStream out;
  args.writeObject(out);
  DRAVDataInputStream in(out.getBuffer(0), out.size());
  DRAVArgs back;
  back.readObject(in);
  EXPECT_EQ(at, KindOf<std::vector<unsigned char>>::take(*back.getArgs()[1]));
}

struct Pair : DRAVTypedSerializable {
  long a = 0;
  std::string b;
  unsigned long id = 5;
  void writeObject(DRAVOutputStream& out) const override {
    out.writeLong(a);
    out.writeString(b);
  }
  void readObject(DRAVInputStream& in) override {
    in.readLong(a);
    in.readString(b);
  }
  unsigned long objectSize(DRAVDataTypedStream*) const override { return static_cast<unsigned long>(4 + 4 + b.size() + 1); }
  unsigned long typeId() const override { return id; }
};

struct Plain : DRAVSerializable {
  long a = 0;
  void writeObject(DRAVOutputStream& out) const override { out.writeLong(a); }
  void readObject(DRAVInputStream& in) override { in.readLong(a); }
  unsigned long objectSize(DRAVDataTypedStream*) const override { return 4; }
};

TEST(ValueKinds, ObjectsComeBackFromTheirBytesWhenTheirKindAndIdentifierMatch) {
  Pair p;
  p.a = -9;
  p.b = "nine";
  DRAVArgs args;
  KindOf<Pair>::add(args, p);
  Plain plain;
  plain.a = 3;
  KindOf<Plain>::add(args, plain);
  const DRAVVar& typed = *args.getArgs()[0];
  ASSERT_TRUE(fits<Pair>(typed));
  const Pair back = KindOf<Pair>::take(typed);
  EXPECT_EQ(-9, back.a);
  EXPECT_EQ("nine", back.b);
  EXPECT_FALSE(fits<Plain>(typed));
  EXPECT_FALSE(fits<Pair>(*args.getArgs()[1]));
  EXPECT_EQ(3, KindOf<Plain>::take(*args.getArgs()[1]).a);

  Pair other;
  other.id = 6;  // another application type
  DRAVArgs others;
  KindOf<Pair>::add(others, other);
  EXPECT_FALSE(fits<Pair>(*others.getArgs()[0]));

  // An object whose bytes hold more than it reads is refused.
  Pair longer = p;
  DRAVArgs asPlain;
  asPlain.addArg(longer, false);
  EXPECT_THROW(KindOf<Plain>::take(*asPlain.getArgs()[0]), DRAVException);
}

// A list answer: marker, list, status; a streamed one: value head, bytes, status.
Bytes listAnswer(const DRAVArgs& results, long code) {
  DRAVDataOutputStream out;
  results.writeObject(out);
  out.writeString("b");
  out.writeString("m");
  out.writeString("message");
  out.writeLong(code);
  return Bytes(out.getBuffer(0), out.getBuffer(0) + out.size());
}

Bytes streamedAnswer(const std::string& value, long code) {
  DRAVDataOutputStream out;
  out.writeShort(3);
  out.writeULong(static_cast<unsigned long>(value.size()));
  out.write(value.data(), static_cast<unsigned long>(value.size()));
  out.writeString("b");
  out.writeString("m");
  out.writeString("streamed");
  out.writeLong(code);
  return Bytes(out.getBuffer(0), out.getBuffer(0) + out.size());
}

TEST(AnswerReader, ReadsEitherFormFedInPiecesOfAnySize) {
  DRAVArgs results;
  results.addArg(std::string("one"));
  results.addArg(2);
  const Bytes list = listAnswer(results, 3);
  const Bytes streamed = streamedAnswer("abcdefghij", 0);
  for (std::size_t piece : {1, 2, 3, 5, 7, 13, 64}) {
    DRAVTyped::AnswerReader listed(false, nullptr, 1 << 20, 2 << 20);
    for (std::size_t at = 0; at < list.size(); at += piece) listed.feed(&list[at], std::min(piece, list.size() - at));
    listed.finish();
    EXPECT_EQ("one", listed.results().getString(0));
    EXPECT_EQ(2, listed.results().getInt(1));
    EXPECT_EQ("message", listed.status().message);
    EXPECT_EQ(3, listed.status().code);

    std::string value;
    DRAVTyped::AnswerReader stream(true, [&](const unsigned char* d, std::size_t n) { value.append(d, d + n); }, 64, 128);
    for (std::size_t at = 0; at < streamed.size(); at += piece)
      stream.feed(&streamed[at], std::min(piece, streamed.size() - at));
    stream.finish();
    EXPECT_EQ("abcdefghij", value) << piece;
    EXPECT_EQ(10u, stream.valueSize());
    EXPECT_EQ("streamed", stream.status().message);
  }
}

// A large binary result lands in the buffer its std::vector result then is.
TEST(AnswerReader, ALargeBinaryResultBecomesItsVectorWithoutACopy) {
  Bytes large(300 * 1024);
  for (std::size_t i = 0; i < large.size(); ++i) large[i] = static_cast<unsigned char>((i * 2654435761u) >> 11);
  DRAVArgs results;
  results.addArg(large.data(), static_cast<unsigned long>(large.size()), false);
  const Bytes answer = listAnswer(results, 0);
  DRAVTyped::AnswerReader reader(false, nullptr, 1 << 30, 1 << 30);
  for (std::size_t at = 0; at < answer.size(); at += 65536)
    reader.feed(&answer[at], std::min<std::size_t>(65536, answer.size() - at));
  reader.finish();
  const unsigned char* landed = reader.results().getBinaryArray(0).getData();
  const Bytes taken = DRAVTyped::detail::ResultsAs<Bytes>::from(reader.results(), "b", "m");
  EXPECT_EQ(landed, taken.data());
  EXPECT_EQ(large, taken);
  EXPECT_LT(reader.budget().used(), large.size() + 1024) << "charged once";
}

TEST(AnswerReader, RefusesAnswersThatAreCutMalformedOrTooLarge) {
  DRAVArgs results;
  results.addArg(std::string(100, 'x'));
  const Bytes list = listAnswer(results, 0);
  const Bytes streamed = streamedAnswer("abc", 0);
  const auto fed = [](bool isStreamed, const Bytes& bytes, std::size_t length, std::uint64_t limit) {
    DRAVTyped::AnswerReader reader(isStreamed, nullptr, limit, 2 * limit);
    reader.feed(bytes.data(), length);
    reader.finish();
  };
  EXPECT_THROW(fed(false, list, list.size() - 1, 1 << 20), DRAVException);
  EXPECT_THROW(fed(false, list, list.size(), list.size() - 1), DRAVException) << "larger than the limit";
  EXPECT_NO_THROW(fed(false, list, list.size(), list.size()));
  DRAVArgs many;
  for (int i = 0; i < 100; ++i) many.addArg(DRAVVar());
  const Bytes empties = listAnswer(many, 0);  // 2 bytes a value, far more once decoded
  EXPECT_THROW(fed(false, empties, empties.size(), empties.size()), DRAVException) << "beyond the decode budget";
  EXPECT_THROW(fed(true, streamed, 9, 1 << 20), DRAVException) << "cut inside the value";
  EXPECT_THROW(fed(true, streamed, streamed.size() - 1, 1 << 20), DRAVException) << "cut inside the status";
  EXPECT_THROW(fed(true, list, list.size(), 1 << 20), DRAVException) << "a list is no streamed value";
  Bytes trailing = list;
  trailing.push_back(0);
  EXPECT_THROW(fed(false, trailing, trailing.size(), 1 << 20), DRAVException);
  Bytes badMarker = list;
  badMarker[0] = 2;
  EXPECT_THROW(fed(false, badMarker, badMarker.size(), 1 << 20), DRAVException);
  EXPECT_THROW(fed(false, list, 0, 1 << 20), DRAVException) << "an empty answer";
}

}  // namespace
