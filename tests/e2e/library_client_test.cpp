// The client library against the bridge host: every value kind, compressed
// and plain binary values, direct and chunked posting, extra blobs, Basic
// authentication through the event sink, cookies, the single-sign-on logon,
// HTTPS, and several threads through one proxy.
#include "host_test_support.h"

#include "support/tls_test_certificate.h"

#include <drav/compression/compression.h>
#include <drav/hosting/response_wrapper.h>
#include <drav/serialization/invocation_status.h>
#include <drav/serialization/output_stream.h>
#include <drav/transport/bridge_proxy.h>
#include <drav/transport/http_event_sink.h>
#include <drav/transport/http_request.h>

#include <gtest/gtest.h>
#include <zlib.h>

#include <atomic>
#include <thread>

namespace e2e {
namespace {

using hosttest::BridgeAnswer;
using hosttest::decodeListAnswer;
using hosttest::decodeStreamedAnswer;
using hosttest::encodeArgs;
using hosttest::SampleHost;
using hosttest::ssoTestSettings;
using hosttest::testSettings;

struct Answer {
  unsigned long sent = 0;
  unsigned long httpCode = 0;
  std::string body;
};

// One call through the library, its answer read back piece by piece.
Answer callThrough(DRAVBridgeProxy& proxy, const std::string& method, const std::string& args,
                   unsigned long chunk = 0, std::string blob = std::string(), tag_StreamingMode mode = StreamingNo) {
  DRAVHttpRequestPtr request(proxy.createRequest());
  std::string body = args;
  Answer answer;
  answer.sent = request->call(method, &body[0], static_cast<unsigned long>(body.size()), chunk, false, mode,
                              blob.empty() ? nullptr : reinterpret_cast<unsigned char*>(&blob[0]),
                              static_cast<unsigned long>(blob.size()));
  answer.httpCode = request->getCallStatus().httpCode();
  char* piece = nullptr;
  for (int guard = 0; guard < 1000000; ++guard) {
    const unsigned long n = request->receive(piece, 16384);
    if (n == 0) break;
    answer.body.append(piece, n);
  }
  return answer;
}

BridgeAnswer echoed(DRAVBridgeProxy& proxy, const DRAVArgs& args, unsigned long chunk = 0) {
  const Answer answer = callThrough(proxy, "echo", encodeArgs(args), chunk);
  EXPECT_EQ(200u, answer.httpCode) << answer.body;
  return decodeListAnswer(answer.body);
}

// An application object as generated code serializes it.
class Point : public DRAVTypedSerializable {
public:
  void writeObject(DRAVOutputStream& out) const override {
    out.writeLong(3);
    out.writeString("point");
  }
  unsigned long objectSize(DRAVDataTypedStream*) const override { return 4 + 4 + 6; }
  unsigned long typeId() const override { return 77; }
};

class LibraryClient : public ::testing::Test {
protected:
  SampleHost host_;
  DRAVBridgeProxy proxy_{"sample", Url(host_.url()), AuthInfo()};
};

TEST_F(LibraryClient, EveryValueKindMakesTheRoundTrip) {
  proxy_.init();
  Point point;
  unsigned char bytes[] = {0, 0xFF, 0x10};
  DRAVArgs args;
  args.addArg(-7);
  args.addArg(std::string("text with \xC3\xA9"));
  args.addArg(zu_utf8string("\xE2\x82\xAC"));
  args.addArg(false);
  args.addArg(static_cast<short>(-300));
  args.addArg(-2000000000L);
  args.addArg(-0.125);
  args.addArg(3.5f);
  args.addArg(static_cast<unsigned char>(255));
  args.addArg('z');
  args.addArg(static_cast<unsigned short>(1));
  args.addArg(4294967295ul);
  args.addArg(0u);
  args.addArg(bytes, 3, true);
  args.addArg(point, false);
  args.addArg(point, true);
  args.addArg(DRAVVar());
  const BridgeAnswer answer = echoed(proxy_, args);
  EXPECT_EQ(0, answer.code) << answer.message;
  EXPECT_EQ(encodeArgs(args), encodeArgs(answer.results));
  EXPECT_EQ(DRAVVar::TypedObject, answer.results.getArgs()[15]->getType());
}

TEST_F(LibraryClient, BinaryValuesTravelCompressedFromTheThresholdOnAndPlainBelowIt) {
  proxy_.init();
  const unsigned long previous = DRAVCompression::DRAVCompressedData::getCompressionThreshold();
  DRAVCompression::DRAVCompressedData::setCompressionThreshold(1000);
  std::vector<unsigned char> below(999, 'b'), above(500000, 'a');
  DRAVArgs plain, sent;
  plain.addArg(below.data(), 999, true);
  plain.addArg(above.data(), 500000, true);
  for (auto* value : {&below, &above}) {
    unsigned char* data = value->data();
    unsigned long length = static_cast<unsigned long>(value->size());
    DRAVCompression::DRAVCompressedData stored(data, length, false);
    sent.addArg(stored.getData(), stored.getLength(), true);
  }
  const std::string body = encodeArgs(sent);
  EXPECT_LT(body.size(), 5000u);
  const Answer answer = callThrough(proxy_, "echo", body);
  DRAVCompression::DRAVCompressedData::setCompressionThreshold(previous);
  ASSERT_EQ(200u, answer.httpCode);
  EXPECT_LT(answer.body.size(), 5000u) << "the echo comes back compressed too";
  EXPECT_EQ(encodeArgs(plain), encodeArgs(decodeListAnswer(answer.body).results));
}

TEST_F(LibraryClient, DirectAndChunkedPostingCarryTheSameCall) {
  proxy_.init();
  DRAVArgs args;
  for (int i = 0; i < 200; ++i) args.addArg(std::string(97, static_cast<char>('a' + i % 26)));
  const std::string body = encodeArgs(args);
  const unsigned long size = static_cast<unsigned long>(body.size());
  for (const unsigned long chunk : {0ul, 1ul, 7ul, 4096ul, size - 1, size, size + 1}) {
    const Answer answer = callThrough(proxy_, "echo", body, chunk);
    EXPECT_EQ(size, answer.sent) << "chunk " << chunk;
    ASSERT_EQ(200u, answer.httpCode) << "chunk " << chunk << ": " << answer.body;
    EXPECT_EQ(body, encodeArgs(decodeListAnswer(answer.body).results)) << "chunk " << chunk;
  }
}

TEST_F(LibraryClient, ExtraBlobsArriveWholeBehindTheArguments) {
  proxy_.init();
  const std::string args = encodeArgs(DRAVArgs());
  for (const std::size_t blobSize : {std::size_t(1), std::size_t(4095), std::size_t(1024 * 1024 + 3)}) {
    for (const unsigned long chunk : {0ul, 1000ul, 65536ul}) {
      std::string blob(blobSize, '\0');
      for (std::size_t i = 0; i < blobSize; ++i) blob[i] = static_cast<char>(i * 31 + blobSize);
      const Answer answer = callThrough(proxy_, "checksumExtraBlob", args, chunk, blob);
      ASSERT_EQ(200u, answer.httpCode) << blobSize << "/" << chunk << ": " << answer.body;
      const BridgeAnswer result = decodeListAnswer(answer.body);
      EXPECT_EQ(blobSize, result.results.getULong(0));
      EXPECT_EQ(crc32(crc32(0, Z_NULL, 0), reinterpret_cast<const Bytef*>(blob.data()), static_cast<uInt>(blobSize)),
                result.results.getULong(1))
          << blobSize << "/" << chunk;
    }
  }
}

TEST_F(LibraryClient, AStreamedResultArrivesAsValueHeadChunksAndStatus) {
  proxy_.init();
  DRAVArgs args;
  args.addArg(3 * 1024 * 1024);
  args.addArg(5);
  const Answer answer = callThrough(proxy_, "generateBinary", encodeArgs(args), 0, std::string(), StreamingOut);
  ASSERT_EQ(200u, answer.httpCode);
  const BridgeAnswer result = decodeStreamedAnswer(answer.body);
  EXPECT_EQ(0, result.code);
  ASSERT_EQ(3u * 1024 * 1024, result.streamed.size());
  for (std::size_t i = 0; i < result.streamed.size(); i += 4099)
    ASSERT_EQ(DRAVHost::SampleBridge::patternByte(i, 5), static_cast<unsigned char>(result.streamed[i])) << i;
}

// Supplies the host's credentials when a call is refused, as a login dialog would.
class CredentialSink : public HttpEventSink {
public:
  explicit CredentialSink(std::atomic<int>& asked) : asked_(asked) {}
  void onHttpUserAuthRequest(DRAVHttpRequest& request) override {
    ++asked_;
    request.getProxy()->getAuthInfo().user("ann").pass("s3cret").mode(AuthInfo::AuthBasic);
  }
  void onHttpProxyAuthRequest(DRAVHttpRequest&) override {}
  void onSSLClientCertificate(DRAVHttpRequest&) override {}

private:
  std::atomic<int>& asked_;
};

TEST(LibraryClientAuth, ARefusedCallAsksTheEventSinkAndIsMadeAgainWithItsCredentials) {
  auto settings = testSettings();
  settings.user = "ann";
  settings.password = "s3cret";
  SampleHost host(settings);
  std::atomic<int> asked{0};
  DRAVBridgeProxy proxy("sample", Url(host.url()), AuthInfo());
  proxy.init();
  proxy.setEventSink(new CredentialSink(asked));
  DRAVArgs args;
  args.addArg(1);
  EXPECT_EQ(1, echoed(proxy, args).results.getInt(0));
  EXPECT_EQ(1, asked.load());
  EXPECT_EQ(1, echoed(proxy, args).results.getInt(0));
  EXPECT_EQ(1, asked.load()) << "the credentials stay with the proxy";

  // A sink with nothing to offer: the refusal ends the call after bounded repeats.
  DRAVBridgeProxy stranger("sample", Url(host.url()), AuthInfo());
  stranger.init();
  const Answer refused = callThrough(stranger, "echo", encodeArgs(args));
  EXPECT_EQ(0u, refused.sent);
}

// Answers with the Cookie header the call carried.
class CookieBridge : public DRAVHost::BridgeHandler {
public:
  void serve(const DRAVHost::BridgeCall& call, IDispatch*, IDispatch* response) override {
    DRAVHelpers::IIS::ResponseWrapper writer(response);
    DRAVArgs results;
    results.addArg(call.cookies);
    DRAVDataOutputStream out;
    results.writeObject(out);
    writer.WriteBufferChunk(out.getBuffer(0), out.size());
    DRAVInvocation::Bridge::Status status;
    writer.WriteStatus(DRAVInvocation::Bridge::StatusWrapper(status.getVariant()));
  }
};

TEST(LibraryClientCookies, EveryCallCarriesTheProxysCookies) {
  DRAVHost::BridgeHost host(testSettings());
  host.addBridge("/cookies", std::make_shared<CookieBridge>());
  host.start();
  DRAVBridgeProxy proxy("cookies", Url(host.url("/cookies")), AuthInfo());
  proxy.init();
  proxy.setCookies("flavour=oat; batch=7");
  for (int i = 0; i < 2; ++i) {
    const Answer answer = callThrough(proxy, "any", encodeArgs(DRAVArgs()));
    ASSERT_EQ(200u, answer.httpCode);
    const std::string seen = decodeListAnswer(answer.body).results.getString(0);
    EXPECT_NE(std::string::npos, seen.find("flavour=oat")) << seen;
    EXPECT_NE(std::string::npos, seen.find("batch=7")) << seen;
  }
}

TEST(LibraryClientSso, TheFirstCallLogsOnAtTheHostAndEveryCallCarriesTheSession) {
  auto settings = ssoTestSettings();
  settings.sso.path = "/sso/logon";
  SampleHost host(settings);

  DRAVBridgeProxy outsider("sample", Url(host.url()), AuthInfo());
  outsider.init();
  EXPECT_EQ(403u, callThrough(outsider, "echo", encodeArgs(DRAVArgs())).httpCode);

  DRAVBridgeProxy proxy("sample", Url(host.url()), AuthInfo().user("sam").pass("pw").ssoProvider("siteminder"));
  proxy.init();
  proxy.rootUrl() = Url(host.url("/sso/logon"));
  DRAVArgs args;
  args.addArg(std::string("signed on"));
  for (int i = 0; i < 3; ++i) EXPECT_EQ("signed on", echoed(proxy, args).results.getString(0));
  EXPECT_EQ(1u, host.host().ssoSessionCount()) << "one logon for all calls";
  EXPECT_NE(std::string::npos, proxy.getCookies().find("SMSESSION=")) << proxy.getCookies();
}

TEST(LibraryClientTls, CallsGoOverHttpsToTheHostsCertificate) {
  drav_test::TestCertificate certificate;
  auto settings = testSettings();
  settings.certFile = certificate.certFile();
  settings.keyFile = certificate.keyFile();
  SampleHost host(settings);
  TlsPolicy trusted;
  trusted.caFile = certificate.certFile();  // the self-signed certificate is its own authority
  DRAVBridgeProxy proxy("sample", Url(host.url()), AuthInfo().tls(trusted));
  proxy.init();
  DRAVArgs args;
  args.addArg(std::string("sealed"));
  EXPECT_EQ("sealed", echoed(proxy, args).results.getString(0));
  EXPECT_EQ("sealed", echoed(proxy, args, 3).results.getString(0)) << "chunked over TLS";
}

TEST_F(LibraryClient, SeveralThreadsCallThroughOneProxy) {
  proxy_.init();
  constexpr int kThreads = 6;
  constexpr int kCalls = 10;
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kCalls; ++i) {
        DRAVArgs args;
        args.addArg(t * 100 + i);
        args.addArg(std::string(1000 + t * 10 + i, 'x'));
        const std::string body = encodeArgs(args);
        const Answer answer = callThrough(proxy_, "echo", body, t % 2 ? 512 : 0);
        if (answer.httpCode != 200 || encodeArgs(decodeListAnswer(answer.body).results) != body) ++wrong;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(0, wrong.load());
  EXPECT_EQ(unsigned(kThreads * kCalls), host_.host().statistics().requestsServed);
}

}  // namespace
}  // namespace e2e
