// A list received in pieces reads as the whole body would, with its large
// binary values in buffers of their own, charged once.
#include <drav/common/exception.h>
#include <drav/compression/compression.h>
#include <drav/serialization/argument_list.h>
#include <drav/serialization/input_stream.h>
#include <drav/serialization/list_receiver.h>
#include <drav/serialization/output_stream.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;
constexpr std::size_t kLarge = DRAVListReceiver::kLargeValue;

Bytes randomBytes(std::size_t size, unsigned seed) {
  Bytes bytes(size);
  std::mt19937 random(seed);
  for (unsigned char& b : bytes) b = static_cast<unsigned char>(random());
  return bytes;
}

Bytes bodyOf(const DRAVArgs& values, const std::string& after = "") {
  DRAVDataOutputStream out;
  values.writeObject(out);
  Bytes body(out.getBuffer(0), out.getBuffer(0) + out.size());
  body.insert(body.end(), after.begin(), after.end());
  return body;
}

void addBinary(DRAVArgs& values, const Bytes& bytes) {
  values.addArg(const_cast<unsigned char*>(bytes.data()), static_cast<unsigned long>(bytes.size()), true);
}

Bytes bytesOf(const DRAVVar& value) {
  const auto& array = value.getType() == DRAVVar::BinaryArray ? *const_cast<DRAVVar&>(value).getBinaryArray(false)
                                                              : value.getObjectBytes();
  return Bytes(array.getData(), array.getData() + array.getLength());
}

struct Received {
  DRAVArgs values;
  std::string after;  // what followed the list
};

Received receive(const Bytes& body, std::size_t piece, DRAVDecodeBudget* budget = nullptr) {
  DRAVListReceiver receiver(budget, false, body.size());
  for (std::size_t at = 0; at < body.size(); at += piece)
    receiver.receive(body.data() + at, std::min(piece, body.size() - at));
  DRAVDataInputStream in(receiver.kept().data(), static_cast<unsigned long>(receiver.kept().size()));
  Received received;
  receiver.readList(in, received.values);
  received.after.assign(in.data() + in.position(), in.data() + in.size());
  return received;
}

// Values of every framing around large ones: fixed sizes, text, a small
// binary, one just under the large size, a plain and a compressed large
// one, an object, an empty value; line breaks before a tag.
TEST(ListReceiver, ReadsEveryValueAsTheWholeBodyWouldAcrossEveryPieceSize) {
  const Bytes large = randomBytes(kLarge + 17, 1);
  const Bytes under = randomBytes(kLarge - 1, 2);
  // Text whose compressed form is itself large.
  Bytes text(512 * 1024);
  std::mt19937 letters(5);
  for (unsigned char& c : text) c = "etaoinsh"[letters() % 8];
  const DRAVCompression::DRAVCompressedData stored(text.data(), static_cast<unsigned long>(text.size()),
                                                   DRAVCompression::DRAVCompressionChoice::Always);
  const Bytes storedBytes(stored.getData(), stored.getData() + stored.getLength());
  DRAVArgs values;
  values.addArg(5);
  values.addArg(std::string("abc"));
  addBinary(values, Bytes(100, 7));
  addBinary(values, large);
  values.addArg(1.5);
  addBinary(values, under);
  addBinary(values, storedBytes);
  values.addArg(DRAVVar());
  addBinary(values, large);
  Bytes body = bodyOf(values, "status");
  // A line break before the first large value's tag: skipped by the reader.
  const std::size_t largeAt = 1 + 4 + 6 + 10 + 106;
  ASSERT_EQ(3, body[largeAt + 1]);
  body.insert(body.begin() + largeAt, {0x0D, 0x0A});

  DRAVArgs whole;
  DRAVDataInputStream in(body.data(), static_cast<unsigned long>(body.size()));
  whole.readObject(in);
  for (std::size_t piece : {std::size_t(1), std::size_t(3), std::size_t(7), std::size_t(4096), kLarge - 1, kLarge + 1,
                            body.size()}) {
    const Received received = receive(body, piece);
    ASSERT_EQ(whole.size(), received.values.size()) << piece;
    for (unsigned long i = 0; i < whole.size(); ++i) {
      const DRAVVar& want = *whole.getArgs()[i];
      const DRAVVar& got = *received.values.getArgs()[i];
      ASSERT_EQ(want.getType(), got.getType()) << piece << " value " << i;
      if (want.getType() == DRAVVar::BinaryArray) {
        EXPECT_EQ(bytesOf(want), bytesOf(got)) << piece << " value " << i;
      }
    }
    EXPECT_EQ("abc", received.values.getString(1));
    EXPECT_EQ(text, bytesOf(*received.values.getArgs()[6])) << "decompressed in its buffer";
    for (unsigned long i : {3ul, 6ul, 8ul}) {
      EXPECT_TRUE(const_cast<DRAVArgs&>(received.values).updateArg(i).getBinaryArray(false)->holdsVector())
          << "value " << i << " is held where it arrived";
    }
    EXPECT_EQ("status", received.after) << piece;
  }
}

TEST(ListReceiver, ALargeValueIsChargedOnceAndTheBodysOwnCountPassesToIt) {
  const Bytes large = randomBytes(4 * kLarge, 3);
  DRAVArgs values;
  addBinary(values, large);
  const Bytes body = bodyOf(values);
  DRAVDecodeBudget budget(1 << 30);
  receive(body, 4096, &budget);
  EXPECT_EQ(large.size(), budget.used()) << "its buffer, nothing twice";

  // A host counts the body as held from the start: a share just above the
  // value carries it, the count passing from the body's bytes to the buffer.
  DRAVDecodeBudget share(body.size() + 1024);
  ASSERT_TRUE(share.tryCharge(body.size()));
  {
    DRAVListReceiver receiver(&share, true, body.size(), body.size());
    for (std::size_t at = 0; at < body.size(); at += 4096)
      receiver.receive(body.data() + at, std::min<std::size_t>(4096, body.size() - at));
    DRAVDataInputStream in(receiver.kept().data(), static_cast<unsigned long>(receiver.kept().size()));
    DRAVArgs decoded;
    receiver.readList(in, decoded);
    EXPECT_EQ(large, bytesOf(*decoded.getArgs()[0]));
  }
  EXPECT_FALSE(share.exceeded());
  EXPECT_EQ(large.size(), share.used()) << "the kept bytes went with the receiver";
}

TEST(ListReceiver, ALargeValueTheBodyOrTheBudgetCannotHoldIsRefusedBeforeItsBufferExists) {
  DRAVArgs values;
  addBinary(values, randomBytes(2 * kLarge, 4));
  const Bytes body = bodyOf(values);
  // Announcing more than the body brings: refused when the length arrives.
  DRAVDecodeBudget roomy(1 << 30);
  DRAVListReceiver shorter(&roomy, false, body.size() - 1);
  EXPECT_THROW(shorter.receive(body.data(), kLarge), DRAVException);
  EXPECT_EQ(0u, roomy.used());
  // Beyond the budget: refused, and the budget says why.
  DRAVDecodeBudget tight(kLarge);
  EXPECT_THROW(receive(body, 4096, &tight), DRAVException);
  EXPECT_TRUE(tight.exceeded());
  // Cut short inside the value: reading the list is refused.
  DRAVListReceiver cut(nullptr, false);
  cut.receive(body.data(), body.size() - 1);
  DRAVDataInputStream in(cut.kept().data(), static_cast<unsigned long>(cut.kept().size()));
  DRAVArgs none;
  EXPECT_THROW(cut.readList(in, none), DRAVException);
}

}  // namespace
