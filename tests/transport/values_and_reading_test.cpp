// The transport's values (exceptions, CallStatus, the owning request
// pointer, the provider factory) and the reading side: receive piece sizes,
// buffer hand-over, downloads.
#include "transport_fixture.h"

#include "support/wine_host.h"

#include <drav/transport/wininet_text.h>

#ifndef _WIN32
#include <win32/wininet_handles.h>
#endif

#include <algorithm>
#include <functional>
#include <sstream>

namespace transport_test {
namespace {

using drav_test::Reply;

TEST(TransportValues, ExceptionsCarryTheirFixedTextsAndCodes) {
  EXPECT_STREQ(UnknownCertAuthException().what(), "Unknown Certificate Authority");
  EXPECT_STREQ(UnknownClientCertAuthException().what(), "Unknown Client Certificate Authority");
  const HttpPostDataException post(12029);
  EXPECT_STREQ(post.what(), "HTTP Request Send failed");
  EXPECT_EQ(post.getErrorCode(), 12029u);
  const ChunkedPostDataException chunked(12032);
  EXPECT_STREQ(chunked.what(), "Chunked post data failed after retry");
  EXPECT_EQ(chunked.getErrorCode(), 12032u);
  HttpPostDataException copy = post;
  copy = HttpPostDataException(7);
  EXPECT_EQ(copy.getErrorCode(), 7u);
  if (sizeof(unsigned long) > 4) {
    EXPECT_THROW(HttpPostDataException(static_cast<unsigned long>(0x100000000ull)), DRAVException);
  }
  std::ostringstream out;
  out << DRAVException("just this");
  EXPECT_EQ(out.str(), "just this");
}

TEST(TransportValues, ADefaultCallStatusReadsAsFailed) {
  const CallStatus status;
  EXPECT_EQ(status.httpCode(), 500u);
  EXPECT_EQ(status.error(), "error occured (either on the client or server part)");
  const CallStatus ok(200, "");
  EXPECT_EQ(ok.httpCode(), 200u);
  EXPECT_EQ(ok.error(), "");
}

// Sizes travel as 32 bits on every host: wider ones are refused by name
// (only a host with a 64-bit long can even pass them).
TEST(TransportValues, SizesWiderThan32BitsAreRefusedNamingTheSize) {
  if (sizeof(unsigned long) == 4) GTEST_SKIP() << "unsigned long is 32 bits here";
  const unsigned long widest = 0xFFFFFFFFul;
  const unsigned long over = static_cast<unsigned long>(0x100000000ull);
  DRAVBridgeProxy proxy("b", Url("http://127.0.0.1:1/x"), AuthInfo());
  DRAVHttpRequest request(&proxy);
  request.setWriteChunkSize(widest);
  request.setReadChunkSize(widest);
  EXPECT_EQ(request.getWriteChunkSize(), widest);
  EXPECT_EQ(request.getReadChunkSize(), widest);
  auto refusal = [](const std::function<void()>& action) {
    try {
      action();
    } catch (const DRAVException& e) {
      return std::string(e.what());
    }
    return std::string("<accepted>");
  };
  EXPECT_EQ(refusal([&] { request.setWriteChunkSize(over); }), "write chunk size does not fit in 32 bits: 4294967296");
  EXPECT_EQ(refusal([&] { request.setReadChunkSize(over); }), "read chunk size does not fit in 32 bits: 4294967296");
  EXPECT_EQ(request.getWriteChunkSize(), widest) << "a refused size changes nothing";
  request.setReadChunkSize(0);
  char* piece = nullptr;
  EXPECT_EQ(refusal([&] { request.receive(piece, over); }), "receive size does not fit in 32 bits: 4294967296");
  request.setWriteChunkSize(0);
  char args[1] = {'a'};
  unsigned char blob[1] = {'b'};
  EXPECT_EQ(refusal([&] { request.call("M", args, over, 0, false, StreamingNo, nullptr, 0); }),
            "argument size does not fit in 32 bits: 4294967296");
  EXPECT_EQ(refusal([&] { request.call("M", args, 1, 0, false, StreamingNo, blob, over); }),
            "extra blob size does not fit in 32 bits: 4294967296");
  EXPECT_EQ(refusal([&] { request.call("M", args, 1, over, false, StreamingNo, nullptr, 0); }),
            "chunk size does not fit in 32 bits: 4294967296");
}

// Where sizes are 32 bits wide (Windows, and every 32-bit host) the sum of
// two sizes that each fit wraps around: it must be refused all the same.
TEST(TransportValues, ArgumentsAndBlobThatTogetherPass32BitsAreRefusedBeforeAByteIsRead) {
  const unsigned long widest = 0xFFFFFFFFul;
  DRAVBridgeProxy proxy("b", Url("http://127.0.0.1:1/x"), AuthInfo());
  DRAVHttpRequest request(&proxy);
  char args[1] = {'a'};
  unsigned char blob[1] = {'b'};
  const struct {
    unsigned long argsSize, blobSize;
    const char* refusal;
  } cases[] = {
      {widest, 1, "call body does not fit 32 bits: 4294967295 + 1"},
      {1, widest, "call body does not fit 32 bits: 1 + 4294967295"},
      {0x80000000ul, 0x80000000ul, "call body does not fit 32 bits: 2147483648 + 2147483648"},
      // One byte less fits (nothing listens on port 1: that send fails
      // before a body byte is read).
      {widest - 1, 1, nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.argsSize);
    std::string refused;
    unsigned long sent = 1;
    try {
      sent = request.call("M", args, c.argsSize, 64, false, StreamingNo, blob, c.blobSize);
    } catch (const DRAVException& e) {
      refused = e.what();
    }
    EXPECT_EQ(refused, c.refusal ? c.refusal : "");
    if (!c.refusal) {
      EXPECT_EQ(sent, 0u);
    }
  }
}

TEST(TransportValues, TheSsoFactoryKnowsExactlySiteminder) {
  dravtest::CaptureTrace trace;
  EXPECT_EQ(DRAVSsoProvider::create(""), nullptr);
  EXPECT_TRUE(trace.contains("no SSO provider to be initialized"));
  std::unique_ptr<DRAVSsoProvider> provider(DRAVSsoProvider::create("siteminder"));
  ASSERT_NE(provider, nullptr);
  EXPECT_EQ(provider->name(), "siteminder");
  try {
    DRAVSsoProvider::create("SiteMinder");
    FAIL() << "a mixed-case name is unknown";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "unsupported SSO provider 'SiteMinder'");
  }
}

TEST(TransportValues, TheProxyOwnsItsSinkAndProviderAndOpensNothingAtFirst) {
  struct CountingSink : DefaultHttpEventSink {
    explicit CountingSink(int& gone) : gone_(gone) {}
    ~CountingSink() override { ++gone_; }
    int& gone_;
  };
  int gone = 0;
  {
    DRAVBridgeProxy proxy("b", Url("http://127.0.0.1:1/x"), AuthInfo().ssoProvider("siteminder"));
    EXPECT_FALSE(proxy.isConnected());
    EXPECT_EQ(proxy.getConnectionHandle(), nullptr);
    EXPECT_TRUE(proxy.closeConnection()) << "closing a never-opened proxy is fine";
    EXPECT_EQ(proxy.getSsoProvider(), nullptr);
    proxy.init();
    ASSERT_NE(proxy.getSsoProvider(), nullptr);
    proxy.setEventSink(new CountingSink(gone));
    proxy.setEventSink(new CountingSink(gone));
    EXPECT_EQ(gone, 1) << "the replaced sink is destroyed";
  }
  EXPECT_EQ(gone, 2) << "the proxy destroys the sink it holds";
}

TEST(TransportValues, CookiesGoToWininetOneByOneInNameOrder) {
  DRAVBridgeProxy proxy("b", Url("http://127.0.0.1:1/cookie-proxy/x"), AuthInfo());
  dravtest::CaptureTrace trace(Annal::M);
  proxy.setCookies("b=2; a=1");
  EXPECT_EQ(proxy.getCookies(), "b=2; a=1");
  const std::vector<std::string> lines = trace.lines();
  auto a = std::find_if(lines.begin(), lines.end(), [](const std::string& l) { return l.find("setting cookie : 'a' = '1'") != std::string::npos; });
  auto b = std::find_if(lines.begin(), lines.end(), [](const std::string& l) { return l.find("setting cookie : 'b' = '2'") != std::string::npos; });
  ASSERT_NE(a, lines.end());
  ASSERT_NE(b, lines.end());
  EXPECT_LT(a, b);
  WCHAR text[256];
  DWORD size = 256;
  const DRAV::detail::WideText url("http://127.0.0.1:1/cookie-proxy/x");
  ASSERT_TRUE(InternetGetCookieW(url.c_str(), nullptr, text, &size));
  // Cookies of other tests for the whole host may follow: ours have the longer path and come first.
  EXPECT_EQ(Glossa::utf16ToUtf8(reinterpret_cast<const unsigned short*>(text), size - 1).substr(0, 8), "a=1; b=2");
  dravtest::CaptureTrace errors(Annal::Error);
  proxy.setCookies("");
  EXPECT_EQ(proxy.getCookies(), "");
  EXPECT_TRUE(errors.lines().empty()) << "an empty string is handed over without complaint";
}

#ifndef _WIN32
// Counting handles needs our WinINet.
TEST(TransportValues, AProxyLeavesNoHandleOpenWhetherOrNotItConnected) {
  const std::size_t open = drav_wininet::openHandleCount();
  DRAVBridgeProxy unreachable("b", Url("http://127.0.0.1:70000/x"), AuthInfo());
  dravtest::CaptureTrace trace(Annal::Error);
  EXPECT_FALSE(unreachable.openConnection());
  EXPECT_TRUE(trace.contains("Failed to connect"));
  EXPECT_FALSE(unreachable.isConnected());
  EXPECT_EQ(drav_wininet::openHandleCount(), open + 1) << "the session waits for the next attempt or the close";
  EXPECT_FALSE(unreachable.openConnection());
  EXPECT_EQ(drav_wininet::openHandleCount(), open + 1) << "a new attempt closes the session of the one before";
  EXPECT_TRUE(unreachable.closeConnection());
  EXPECT_EQ(drav_wininet::openHandleCount(), open) << "the session opened for it is closed";
  DRAVBridgeProxy proxy("b", Url("http://127.0.0.1:1/x"), AuthInfo());
  EXPECT_TRUE(proxy.openConnection());
  EXPECT_TRUE(proxy.isConnected());
  EXPECT_EQ(drav_wininet::openHandleCount(), open + 2);
  void* const connection = proxy.getConnectionHandle();
  EXPECT_TRUE(proxy.openConnection());
  EXPECT_EQ(proxy.getConnectionHandle(), connection) << "an open proxy keeps its connection";
  EXPECT_EQ(drav_wininet::openHandleCount(), open + 2);
  EXPECT_TRUE(proxy.closeConnection());
  EXPECT_FALSE(proxy.isConnected());
  EXPECT_EQ(proxy.getConnectionHandle(), nullptr);
  EXPECT_EQ(drav_wininet::openHandleCount(), open);
  // Handle values may be given out again: a second close must not pass on
  // the old session's.
  SetLastError(ERROR_SUCCESS);
  EXPECT_TRUE(proxy.closeConnection());
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS)) << "no stale handle is closed again";
}
#endif

TEST(TransportValues, TheRequestPointerOwnsOneRequestAtATime) {
  DRAVBridgeProxy proxy("b", Url("http://127.0.0.1:1/x"), AuthInfo());
  DRAVHttpRequestPtr ptr(proxy.createRequest());
  DRAVHttpRequest* first = ptr.get();
  ptr = first;  // assigning what it holds keeps it
  EXPECT_EQ(ptr->getProxy(), &proxy);
  ptr = proxy.createRequest();
  EXPECT_NE(ptr.get(), nullptr);
  ptr = nullptr;
  EXPECT_EQ(ptr.get(), nullptr);
}

class Reading : public TransportTest {
protected:
  DRAVHttpRequest* callFor(const Reply& reply) {
    server->enqueue(reply);
    DRAVHttpRequest* request = proxy->createRequest();
    EXPECT_GT(callWith(*request, "q"), 0u);
    return request;
  }
};

TEST_F(Reading, PiecesAreAtMostTheAskedSizeOrTheReadChunkSize) {
  Reply reply;
  reply.generatedBodySize = 9000;
  DRAVHttpRequestPtr request(callFor(reply));
  std::string body = receiveAll(*request.get(), 4000, 4000);
  EXPECT_EQ(body.size(), 9000u);
  EXPECT_EQ(drav_test::crcOf(body), drav_test::patternCrc(9000));

  DRAVHttpRequestPtr limited(callFor(reply));
  limited->setReadChunkSize(100);
  body = receiveAll(*limited.get(), 4000, 100);
  EXPECT_EQ(body.size(), 9000u);
}

// The widest piece a caller may ask for, 4 GiB - 1 bytes, is more than a
// 32-bit process can allocate at once: the answer is read all the same.
TEST_F(Reading, TheWidestPieceSizeReadsTheAnswer) {
  Reply reply;
  reply.generatedBodySize = 9000;
  for (unsigned long widest : {0xFFFFFFFFul, 0xFFFFFFFEul}) {
    SCOPED_TRACE(widest);
    DRAVHttpRequestPtr request(callFor(reply));
    std::string body;
    EXPECT_NO_THROW(body = receiveAll(*request.get(), widest, widest));
    EXPECT_EQ(body.size(), 9000u);
    EXPECT_EQ(drav_test::crcOf(body), drav_test::patternCrc(9000));
  }
}

TEST_F(Reading, AZeroSizeReadDoesNotEndTheAnswer) {
  Reply reply;
  reply.body = "all of it";
  DRAVHttpRequestPtr request(callFor(reply));
  dravtest::CaptureTrace trace(Annal::M);
  EXPECT_EQ(receiveAll(*request.get(), 0, 4000), "all of it");
  const std::vector<std::string> lines = trace.lines();
  const std::vector<std::string> expected = {"M receiving 9 bytes", "M receive : no more data in response buffer"};
  EXPECT_EQ(lines, expected);
}

TEST_F(Reading, TheStatusIsGoneOnceTheAnswerEnded) {
  Reply reply;
  reply.body = "x";
  DRAVHttpRequestPtr request(callFor(reply));
  EXPECT_EQ(request->getCallStatus().httpCode(), 200u);
  receiveAll(*request.get(), 10, 10);
  dravtest::CaptureTrace trace(Annal::Error);
  EXPECT_EQ(request->getCallStatus().httpCode(), 0u);
  EXPECT_TRUE(trace.contains("unable to get the HTTP request code"));
}

TEST_F(Reading, DownloadsAppendTheResourceToTheVector) {
  Reply reply;
  reply.generatedBodySize = 12345;
  server->enqueue(reply);
  DRAVHttpRequestPtr request(proxy->createRequest());
  std::vector<unsigned char> data(10, 0xAB);
  request->downloadResource(server->url("/files/r.bin"), data);
  ASSERT_EQ(data.size(), 10u + 12345u);
  EXPECT_EQ(data[9], 0xAB);
  EXPECT_EQ(drav_test::crcOf(std::string(data.begin() + 10, data.end())), drav_test::patternCrc(12345));
  const drav_test::RecordedRequest seen = server->requests().at(0);
  EXPECT_EQ(seen.method, "GET");
  EXPECT_EQ(seen.target, "/files/r.bin");
  EXPECT_EQ(seen.header("User-Agent"), "DRAVDownloadResource");
  EXPECT_FALSE(seen.hasHeader("DRAVBridgeName"));
}

// An error page or a redirect is not the resource: the download fails with
// the status and the answer's start, escaped and cut, and appends nothing.
// So does a scheme other than http and https, before anything is sent.
TEST_F(Reading, ADownloadAnsweredOutside2xxFailsWithTheStatusAndAnEscapedExcerpt) {
  Reply missing;
  missing.status = 404;
  missing.body = "not here\x1b[2J\r\n" + std::string(1000, 'x');
  Reply moved;
  moved.status = 302;
  moved.header("Location", "/elsewhere");
  Reply broken;
  broken.status = 500;
  for (const Reply& r : {missing, moved, broken}) server->enqueue(r);
  DRAVHttpRequestPtr request(proxy->createRequest());
  for (const char* expected : {" answered HTTP 404: not here\\x1B[2J\\x0D\\x0Axxx", " answered HTTP 302",
                               " answered HTTP 500"}) {
    std::vector<unsigned char> data(10, 0xAB);
    try {
      request->downloadResource(server->url("/files/r.bin"), data);
      ADD_FAILURE() << "no exception for" << expected;
    } catch (const DRAVException& e) {
      const std::string what = e.what();
      EXPECT_EQ(what.find(std::string("the resource ") + server->url("/files/r.bin") + expected), 0u) << what;
      EXPECT_LT(what.size(), 400u) << "the excerpt is cut";
    }
    EXPECT_EQ(data.size(), 10u);
  }
  std::vector<unsigned char> data;
  try {
    request->downloadResource("htp://127.0.0.1:" + std::to_string(server->port()) + "/files/r.bin", data);
    ADD_FAILURE() << "no exception";
  } catch (const HttpPostDataException& e) {
    EXPECT_EQ(std::string(e.what()), "HTTP Request Send failed: 127.0.0.1:" + std::to_string(server->port()) +
                                         ": unsupported scheme \"htp\" (http or https): nothing was sent");
  }
  EXPECT_EQ(server->requests().size(), 3u);
}

TEST_F(Reading, ADownloadLongerThanItsLimitFailsKeepingWhatArrived) {
  DRAVHttpRequestPtr request(proxy->createRequest());
  EXPECT_EQ(request->getDownloadLimit(), 256u << 20);
  request->setDownloadLimit(4500);
  Reply exact;
  exact.generatedBodySize = 4500;
  server->enqueue(exact);
  std::vector<unsigned char> whole;
  request->downloadResource(server->url("/exact"), whole);
  EXPECT_EQ(whole.size(), 4500u);
  // One byte over, and a body that never ends; the limit falls inside a
  // piece read (pieces of 1000 bytes), of which only its part is kept. Wine
  // reads the rest of a body when its request is closed early: an endless
  // one would hold the close until the server gives up (minutes), so there
  // the long body ends at 1 MiB.
  const std::uint64_t endless = dravtest::runningUnderWine() ? 1ull << 20 : 1ull << 40;
  for (std::uint64_t size : {std::uint64_t{4501}, endless}) {
    Reply longer;
    longer.generatedBodySize = size;
    // Else a WinINet that keeps connections may read what is left before
    // it lets the request go.
    longer.closeAfter = true;
    server->enqueue(longer);
    std::vector<unsigned char> data(10, 0xAB);
    try {
      request->downloadResource(server->url("/long"), data);
      ADD_FAILURE() << "expected DRAVException for " << size;
    } catch (const DRAVException& e) {
      EXPECT_EQ(std::string(e.what()), "the resource " + server->url("/long") + " is larger than the download limit of 4500 bytes");
    }
    ASSERT_EQ(data.size(), 10u + 4500u) << size;
    EXPECT_EQ(data[9], 0xAB);
    EXPECT_EQ(drav_test::crcOf(std::string(data.begin() + 10, data.end())), drav_test::patternCrc(4500)) << size;
  }
}

TEST_F(Reading, ADownloadThatCannotBeSentOrConnectedThrowsNamingHostPortAndReason) {
  DRAVHttpRequestPtr request(proxy->createRequest());
  const struct {
    const char* url;
    DWORD code;
    const char* says;
  } cases[] = {
      {"http://127.0.0.1:1/nothing", ERROR_INTERNET_CANNOT_CONNECT, "127.0.0.1:1: connection refused"},
      // The connection itself cannot be made: that used to return as if the resource were empty.
      {"http://127.0.0.1:0/nothing", ERROR_INTERNET_INVALID_URL, "127.0.0.1:0: invalid URL"},
  };
  for (const auto& c : cases) {
    std::vector<unsigned char> data;
    try {
      request->downloadResource(c.url, data);
      ADD_FAILURE() << "expected HttpPostDataException for " << c.url;
    } catch (const HttpPostDataException& e) {
      EXPECT_EQ(e.getErrorCode(), static_cast<unsigned long>(c.code)) << c.url;
      EXPECT_EQ(std::string(e.what()).rfind(std::string("HTTP Request Send failed: ") + c.says, 0), 0u) << e.what();
    }
    EXPECT_TRUE(data.empty());
  }
}

// A download URL can come from the server; its failure message reaches a
// terminal or a log and must not carry control characters or grow with it.
TEST_F(Reading, AHostileDownloadUrlReachesTheFailureMessageEscapedAndCapped) {
  DRAVHttpRequestPtr request(proxy->createRequest());
  const std::string host = "a\x1b[2J\r\nforged line\x07" + std::string(100000, 'a') + ".invalid";
  std::vector<unsigned char> data;
  std::string text;
  try {
    request->downloadResource("http://" + host + ":80/x", data);
  } catch (const std::exception& e) {
    text = e.what();
  }
  ASSERT_FALSE(text.empty()) << "a download from a host that cannot exist went through";
  EXPECT_LT(text.size(), 4096u) << "the message grows with the URL";
  EXPECT_EQ(std::count_if(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; }),
            0)
      << text.substr(0, 200);
}

TEST_F(Reading, ADownloadCutShortFailsKeepingWhatArrived) {
  Reply cut;
  cut.generatedBodySize = 100000;
  cut.resetAfterBodyBytes = 40000;
  server->enqueue(cut);
  DRAVHttpRequestPtr request(proxy->createRequest());
  std::vector<unsigned char> data;
  try {
    request->downloadResource(server->url("/cut"), data);
    ADD_FAILURE() << "a body of 100000 bytes ending at 40000 went through as " << data.size() << " bytes";
  } catch (const HttpPostDataException& e) {
    // Wine's WinINet reads ahead while it sends: the reset may reach it
    // before the answer's head is handed over, which fails the send.
    EXPECT_TRUE(dravtest::runningUnderWine()) << e.what();
    EXPECT_TRUE(data.empty());
  } catch (const DRAVException& e) {
    const std::string text = e.what();
    // Wine's WinINet names a reset by its socket error number, not as a WinINet error.
    const std::string reason = dravtest::runningUnderWine() ? "" : "connection ";
    EXPECT_EQ(text.rfind("the resource " + server->url("/cut") + " was cut off after " +
                             std::to_string(data.size()) + " bytes: " + server->hostPort() + ": " + reason,
                         0),
              0u)
        << text;
  }
  ASSERT_LE(data.size(), 40000u);
  EXPECT_EQ(drav_test::crcOf(std::string(data.begin(), data.end())), drav_test::patternCrc(data.size()))
      << "what arrived is kept as it came";
}

// The bridge's user name and password answer a challenge from the bridge's
// own origin (scheme, host and port), or anywhere when the caller says so.
TEST_F(Reading, ADownloadHandsTheBridgesCredentialsToItsOwnOriginOnly) {
  if (drav_test::usingRemoteServer()) GTEST_SKIP() << "needs a second origin";
  makeProxy(AuthInfo().user("alice").pass("secret").mode(AuthInfo::AuthNtlm));
  std::unique_ptr<drav_test::ScriptedServer> elsewhere = drav_test::openTestServer();
  for (drav_test::ScriptedServer* s : {server.get(), elsewhere.get()})
    s->requireAuth(drav_test::AuthScheme::Basic, "alice", "secret");
  const auto authorizationsSeenBy = [](drav_test::ScriptedServer& s) {
    int count = 0;
    for (const drav_test::RecordedRequest& r : s.requests()) count += r.hasHeader("Authorization");
    return count;
  };
  DRAVHttpRequestPtr request(proxy->createRequest());
  std::vector<unsigned char> data;
  request->downloadResource(server->url("/own/resource"), data);
  EXPECT_EQ(authorizationsSeenBy(*server), 1) << "the bridge's origin gets them";
  EXPECT_THROW(request->downloadResource(elsewhere->url("/resource"), data), DRAVException) << "its 401 is no resource";
  EXPECT_EQ(authorizationsSeenBy(*elsewhere), 0) << "another origin that asks gets nothing";
  EXPECT_EQ(elsewhere->requests().size(), 1u);
  request->downloadResource(elsewhere->url("/resource"), data, DRAVHttpRequest::DownloadCredentials::Always);
  EXPECT_EQ(authorizationsSeenBy(*elsewhere), 1) << "unless the caller asks";
}

}  // namespace
}  // namespace transport_test
