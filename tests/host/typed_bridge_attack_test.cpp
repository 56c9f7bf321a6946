// A method table under the host, tried as an attacker would: floods of tiny
// values, kinds no table knows, objects with another identifier or cut
// short, a blob that never comes, method names of kilobytes, streamed
// answers that break their word. Each is answered with a status or an HTTP
// error, within the call's memory, and the host serves on.
#include "host_test_support.h"

#include <drav/host/typed_bridge.h>
#include <drav/serialization/output_stream.h>

#include <gtest/gtest.h>

namespace hosttest {
namespace {

struct Point : DRAVTypedSerializable {
  long x = 0;
  void writeObject(DRAVOutputStream& out) const override { out.writeLong(x); }
  void readObject(DRAVInputStream& in) override { in.readLong(x); }
  unsigned long objectSize(DRAVDataTypedStream*) const override { return 4; }
  unsigned long typeId() const override { return 9; }
};

class Target : public DRAVHost::TypedBridge {
public:
  Target() : TypedBridge("target") {
    method("add", [](int a, int b) { return a + b; });
    method("point", [](const Point& p) { return p.x; });
    method("blob", [](DRAVBlobReader& blob) {
      unsigned long n = 0;
      for (DRAVBytes piece; (piece = blob.next()).size > 0;) n += static_cast<unsigned long>(piece.size);
      return n;
    });
    method("overrun", [](DRAVStreamWriter& out) {
      const unsigned char bytes[8] = {};
      out.begin(4);
      out.write(bytes, 8);
    });
    method("stream", [](DRAVStreamWriter& out) {
      const unsigned char bytes[4] = {1, 2, 3, 4};
      out.begin(4);
      out.write(bytes, 4);
    });
    method("bytes", [](int size) {  // bytes that do not compress
      std::vector<unsigned char> bytes(static_cast<std::size_t>(size));
      std::uint32_t state = 7;
      for (unsigned char& byte : bytes) byte = static_cast<unsigned char>((state = state * 1103515245 + 12345) >> 24);
      return bytes;
    });
    method("text", [](int size) { return std::string(static_cast<std::size_t>(size), 't'); });
  }
};

class TypedBridgeAttack : public ::testing::Test {
protected:
  TypedBridgeAttack() {
    auto settings = testSettings();
    settings.callMemoryBudget = 1024 * 1024;
    host_ = std::make_unique<DRAVHost::BridgeHost>(settings);
    host_->addBridge("/t", std::make_shared<Target>());
    host_->start();
  }

  HttpReply post(const std::string& method, const std::string& args, const std::string& blob = std::string(),
                 std::uint32_t blobSize = 0) {
    RawClient client(host_->port());
    client.send(callRequest(method, args, blobSize ? blobSize : static_cast<std::uint32_t>(blob.size()),
                            std::string(), "/t") +
                blob);
    return client.readReply(10s);
  }

  // A normal call on a connection of its own is answered in full.
  void expectServing() {
    DRAVArgs args;
    args.addArg(2);
    args.addArg(3);
    const HttpReply reply = post("add", encodeArgs(args));
    ASSERT_EQ(200, reply.status) << reply.body;
    EXPECT_EQ(5, decodeListAnswer(reply.body).results.getInt(0));
  }

  std::unique_ptr<DRAVHost::BridgeHost> host_;
};

// A body of `count` values of `tag`, each with no payload (2 bytes a value).
std::string valuesOfTag(std::uint32_t count, unsigned char tag) {
  std::string body(1, '\x01');
  for (int shift = 24; shift >= 0; shift -= 8) body += static_cast<char>((count >> shift) & 0xFF);
  for (std::uint32_t i = 0; i < count; ++i) body += std::string("\x00", 1) + static_cast<char>(tag);
  return body;
}

TEST_F(TypedBridgeAttack, AFloodOfTinyValuesIsRefusedWithinTheCallsMemory) {
  // 400000 values in 800 KB: far more once decoded than the call's 1 MiB.
  const HttpReply flood = post("add", valuesOfTag(400000, 0));
  EXPECT_EQ(413, flood.status) << flood.body.substr(0, 200);
  // Fewer, decodable: answered with a status whose message stays short.
  const HttpReply many = post("add", valuesOfTag(5000, 0));
  ASSERT_EQ(200, many.status) << many.body.substr(0, 200);
  const BridgeAnswer answer = decodeListAnswer(many.body);
  EXPECT_EQ(DRAVMethodTable::BadArguments, answer.code);
  EXPECT_LT(answer.message.size(), 300u) << answer.message.substr(0, 300);
  EXPECT_NE(std::string::npos, answer.message.find("and 4984 more)")) << answer.message;
  expectServing();
}

TEST_F(TypedBridgeAttack, KindsNoTableKnowsAndForeignObjectsAreRefusedAsArguments) {
  const HttpReply unknownKinds = post("add", valuesOfTag(2, 42));
  ASSERT_EQ(200, unknownKinds.status);
  EXPECT_EQ("add takes (Int, Int), got (Tag42, Tag42): value 0 (Tag42) does not fit parameter 0 (Int)",
            decodeListAnswer(unknownKinds.body).message);

  struct Other : Point {
    unsigned long typeId() const override { return 10; }
  };
  DRAVArgs foreign;
  foreign.addArg(Other(), true);
  const BridgeAnswer refused = decodeListAnswer(post("point", encodeArgs(foreign)).body);
  EXPECT_EQ(DRAVMethodTable::BadArguments, refused.code);

  // A TypedObject of three bytes: too short to hold an identifier.
  const std::string cut("\x01\x00\x00\x00\x01\x00\x10\x00\x00\x00\x03\x01\x00\x00", 14);
  EXPECT_EQ(DRAVMethodTable::BadArguments, decodeListAnswer(post("point", cut).body).code);

  // The right identifier but no object behind it: the read fails, the value does not fit, the host serves on.
  const std::string empty("\x01\x00\x00\x00\x01\x00\x10\x00\x00\x00\x05\x01\x00\x00\x00\x09", 16);
  const BridgeAnswer failed = decodeListAnswer(post("point", empty).body);
  EXPECT_EQ(DRAVMethodTable::BadArguments, failed.code);
  EXPECT_EQ(0u, failed.message.find("point takes (TypedObject), got (TypedObject): ")) << failed.message;
  expectServing();
}

TEST_F(TypedBridgeAttack, ABlobThatNeverComesAndLongMethodNamesEndCleanly) {
  // The blob is announced but the connection carries none of it: the host cuts the call.
  RawClient client(host_->port());
  client.send(callRequest("blob", encodeArgs(DRAVArgs()), 100000, std::string(), "/t") + "only a little");
  client.shutdownSend();
  const HttpReply cut = client.readReply(10s);
  EXPECT_NE(200, cut.status);

  const HttpReply named = post(std::string(8000, 'x'), encodeArgs(DRAVArgs()));
  ASSERT_EQ(200, named.status);
  const std::string message = decodeListAnswer(named.body).message;
  EXPECT_LT(message.size(), 220u);
  EXPECT_EQ(0u, message.find("unknown method '" + std::string(124, 'x') + "\\...'"));
  expectServing();
}

// Results the method may hold but whose serialized copy does not fit beside
// them: the answer is refused whole before a byte of it goes out, never a
// 200 cut after the list's head. A byte vector as large goes out whole: it
// is written from its own bytes, with no copy beside it.
TEST_F(TypedBridgeAttack, AnAnswerOverTheCallsMemoryIsRefusedWholeNotCut) {
  const auto call = [&](const char* method, int size) {
    DRAVArgs args;
    args.addArg(size);
    RawClient client(host_->port());
    client.send(callRequest(method, encodeArgs(args), 0, std::string(), "/t"));
    return client.readReply(10s);
  };
  for (const int size : {600 * 1024, 900 * 1024}) {
    const HttpReply reply = call("text", size);
    EXPECT_EQ(413, reply.status) << size;
    EXPECT_EQ('\n', reply.body.empty() ? 0 : reply.body.back()) << reply.body.substr(0, 200);
  }
  HttpReply whole = call("text", 300 * 1024);
  ASSERT_EQ(200, whole.status);
  EXPECT_EQ(300u * 1024, decodeListAnswer(whole.body).results.getString(0).size());
  whole = call("bytes", 900 * 1024);
  ASSERT_EQ(200, whole.status);
  EXPECT_EQ(900u * 1024, decodeListAnswer(whole.body).results.getBinaryArray(0).getLength());
  expectServing();
}

// A method that streams its answer, called without streaming out, tells the
// caller how to call it, as the opposite mistake does.
TEST_F(TypedBridgeAttack, AStreamingMethodCalledWithoutStreamingOutSaysHowToCallIt) {
  const BridgeAnswer answer = decodeListAnswer(post("stream", encodeArgs(DRAVArgs())).body);
  EXPECT_EQ(DRAVMethodTable::BadArguments, answer.code);
  EXPECT_EQ("stream streams its answer; call it streaming out", answer.message);
  RawClient client(host_->port());
  client.send(callRequest("stream", encodeArgs(DRAVArgs()), 0, "DRAVStreamingMode: OUT\r\n", "/t"));
  const BridgeAnswer streamed = decodeStreamedAnswer(client.readReply(10s).body);
  EXPECT_EQ(0, streamed.code);
  EXPECT_EQ(std::string("\x01\x02\x03\x04"), streamed.streamed);
}

TEST_F(TypedBridgeAttack, AStreamThatBreaksItsWordEndsTheConnectionNotTheHost) {
  RawClient client(host_->port());
  client.send(callRequest("overrun", encodeArgs(DRAVArgs()), 0, "DRAVStreamingMode: OUT\r\n", "/t"));
  EXPECT_TRUE(client.closedByPeer(10s));
  expectServing();
}

}  // namespace
}  // namespace hosttest
