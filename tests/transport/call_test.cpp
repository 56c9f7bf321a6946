// A remote call end to end against a real server on 127.0.0.1: what goes on
// the wire, direct and chunked posting, reading the answer back, and the
// reactions to failures.
#include "transport_fixture.h"

#include "support/http_test_auth.h"
#include "support/wine_host.h"

#ifndef _WIN32
#include "support/raw_peer.h"

#include <win32/wininet_handles.h>
#endif

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>

namespace transport_test {
namespace {

using drav_test::Reply;

#ifndef _WIN32
// The transport takes the system's proxy (on these hosts: the environment);
// a proxy set on the machine must not stand between the tests and 127.0.0.1.
class NoSystemProxy : public ::testing::Environment {
public:
  void SetUp() override {
    for (const char* name : {"http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY"}) unsetenv(name);
  }
};
const ::testing::Environment* const noSystemProxy = ::testing::AddGlobalTestEnvironment(new NoSystemProxy);
#endif

class Calls : public TransportTest {};

TEST_F(Calls, ArgumentsTravelAndResultsComeBackPieceByPiece) {
  DRAVArgs args;
  args.addArg(std::string("hello"));
  args.addArg(42);
  args.addArg(2.5);
  args.addArg(std::string(3000, 'z'));
  DRAVArgs results;
  results.addArg(std::string(5000, 'r'));
  results.addArg(true);
  const std::string body = serialize(args);
  const std::string blob = "extra blob bytes";
  struct Way {
    unsigned long chunk;
    bool withBlob;
  };
  for (const Way way : {Way{0, false}, Way{64, false}, Way{64, true}}) {
    Reply reply;
    reply.body = serialize(results);
    server->enqueue(reply);
    DRAVHttpRequestPtr request(proxy->createRequest());
    EXPECT_EQ(callWith(*request.get(), body, way.chunk, way.withBlob ? blob : ""),
              body.size() + (way.withBlob ? blob.size() : 0));
    EXPECT_EQ(request->getCallStatus().httpCode(), 200u);
    EXPECT_EQ(request->getCallStatus().error(), "");
    const std::string answer = receiveAll(*request.get(), 333, 333);
    EXPECT_EQ(request->getRequestHandle(), nullptr) << "the end of the answer closes the request";
    const DRAVArgs back = deserialize(answer);
    EXPECT_EQ(back.getString(0), std::string(5000, 'r'));
    EXPECT_TRUE(back.getBoolean(1));
    const drav_test::RecordedRequest seen = server->requests().back();
    EXPECT_EQ(seen.body, body + (way.withBlob ? blob : ""));
    EXPECT_EQ(deserialize(seen.body.substr(0, body.size())).getInt(1), 42) << "the server reads the same arguments";
  }
}

TEST_F(Calls, TheHeaderBlockIsSentByteForByteInItsOrder) {
  struct ModeLine {
    int mode;
    const char* line;  // null: no mode line
  };
  for (const ModeLine m : {ModeLine{1, "DRAVStreamingMode: NO"}, ModeLine{2, "DRAVStreamingMode: IN"},
                           ModeLine{4, "DRAVStreamingMode: OUT"}, ModeLine{8, "DRAVStreamingMode: INOUT"},
                           ModeLine{0, nullptr}, ModeLine{3, nullptr}}) {
    const bool token = m.mode % 2 == 0;
    DRAVHttpRequestPtr request(proxy->createRequest());
    unsigned char blob[3] = {1, 2, 3};
    ASSERT_EQ(request->call("Compute", const_cast<char*>("abcd"), 4, 0, token, static_cast<tag_StreamingMode>(m.mode),
                            blob, 3),
              7u);
    const drav_test::RecordedRequest seen = server->requests().back();
    EXPECT_EQ(seen.method, "POST");
    EXPECT_EQ(seen.target, "/bridge/calls");
    EXPECT_EQ(seen.header("User-Agent"), "DRAVBridgeProxy");
    std::vector<std::string> expected = {"DRAVBridgeName: TestBridge", "DRAVMethodName: Compute",
                                         token ? "DRAVMethodNeedSsoToken: yes" : "DRAVMethodNeedSsoToken: no"};
    if (m.line) expected.push_back(m.line);
    expected.push_back("DRAVArgs-Size: 4");
    expected.push_back("DRAVExtraBlob-Size: 3");
    const std::vector<std::string> lines = seen.headerLines();
    auto first = std::find(lines.begin(), lines.end(), expected[0]);
    ASSERT_NE(first, lines.end()) << m.mode;
    ASSERT_GE(static_cast<std::size_t>(lines.end() - first), expected.size()) << m.mode;
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), first)) << m.mode;
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                            [](const std::string& l) { return l.compare(0, 4, "DRAV") == 0; }),
              static_cast<std::ptrdiff_t>(expected.size()))
        << m.mode;
  }
}

TEST_F(Calls, BasicCredentialsGoBetweenMethodAndTokenLinesAndOddModesSendNoModeLine) {
  makeProxy(AuthInfo().user("alice").pass("secret").mode(AuthInfo::AuthBasic));
  server->requireAuth(drav_test::AuthScheme::Basic, "alice", "secret");
  DRAVHttpRequestPtr request(proxy->createRequest());
  ASSERT_GT(request->call("M", const_cast<char*>("x"), 1, 0, false, static_cast<tag_StreamingMode>(3), nullptr, 0), 0u);
  EXPECT_EQ(request->getCallStatus().httpCode(), 200u);
  const std::vector<std::string> lines = server->requests().at(0).headerLines();
  auto method = std::find(lines.begin(), lines.end(), "DRAVMethodName: M");
  ASSERT_NE(method, lines.end());
  EXPECT_EQ(*(method + 1), "Authorization: Basic YWxpY2U6c2VjcmV0");
  EXPECT_EQ(*(method + 2), "DRAVMethodNeedSsoToken: no");
  EXPECT_EQ(*(method + 3), "DRAVArgs-Size: 1") << "no DRAVStreamingMode line for mode 3";
}

TEST_F(Calls, NtlmCredentialsGoToWininetNotIntoTheHeaderBlock) {
  if (dravtest::runningUnderWine()) GTEST_SKIP() << "Wine's NTLM needs the winbind helper";
  makeProxy(AuthInfo().user("alice").pass("secret").mode(AuthInfo::AuthNtlm));
  server->requireAuth(drav_test::AuthScheme::Ntlm, "alice", "");
  const std::string body(70000, 'n');  // chunked at 32000: the streamed path answers the challenge too
  for (unsigned long chunk : {0ul, 32000ul}) {
    DRAVHttpRequestPtr request(proxy->createRequest());
    EXPECT_EQ(callWith(*request.get(), body, chunk), body.size()) << chunk;
    EXPECT_EQ(request->getCallStatus().httpCode(), 200u) << chunk;
    receiveAll(*request.get(), 4000, 4000);
    EXPECT_EQ(server->requests().back().bodyCrc, drav_test::crcOf(body));
  }
  for (const drav_test::RecordedRequest& r : server->requests())
    EXPECT_NE(r.header("Authorization").compare(0, 6, "Basic "), 0) << "no Basic line in the block";
}

// A server refusal (401) is answered by the default event sink: the
// repeated call carries the proxy's credentials, although its AuthInfo
// names no mode, so the first call went without them.
struct ChallengeCase {
  drav_test::AuthScheme scheme;
  unsigned long chunk;
  std::size_t requests;  // the refused call, then the exchange of the scheme
};

class DefaultSinkChallenges : public TransportTest, public ::testing::WithParamInterface<ChallengeCase> {};

TEST_P(DefaultSinkChallenges, TheRepeatedCallCarriesTheCredentials) {
  const ChallengeCase c = GetParam();
  const bool ntlm = c.scheme == drav_test::AuthScheme::Ntlm;
  if (ntlm && dravtest::runningUnderWine()) GTEST_SKIP() << "Wine's NTLM needs the winbind helper";
  makeProxy(AuthInfo().user("u").pass("p"));
  server->requireAuth(c.scheme, "u", ntlm ? "" : "p");
  Reply granted;
  granted.body = "granted";
  server->enqueue(granted);
  dravtest::CaptureTrace trace(Annal::Error);
  const std::string body(70000, 's');
  DRAVHttpRequestPtr request(proxy->createRequest());
  EXPECT_EQ(callWith(*request.get(), body, c.chunk), body.size());
  EXPECT_EQ(request->getCallStatus().httpCode(), 200u);
  EXPECT_EQ(receiveAll(*request.get(), 4000, 4000), "granted");
  const std::vector<drav_test::RecordedRequest> seen = server->requests();
  ASSERT_FALSE(seen.empty());
  if (ntlm) EXPECT_EQ(drav_test::ntlmUserName(seen.back().header("Authorization")), "u");
  else EXPECT_EQ(seen.back().header("Authorization"), "Basic dTpw");
  EXPECT_EQ(seen.back().bodyCrc, drav_test::crcOf(body));
  const std::vector<std::string> lines = trace.lines();
  const auto refusals = std::count(lines.begin(), lines.end(),
                                   "Error request failed : HTTP_STATUS_DENIED -> invalid HTTP user login/password");
  // Wine answers a challenge within one send and keeps Basic credentials
  // per server across requests: there only the bound holds.
  if (dravtest::runningUnderWine()) {
    EXPECT_LE(seen.size(), c.requests + 2);
    EXPECT_LE(refusals, 1);
  } else {
    EXPECT_EQ(seen.size(), c.requests);
    EXPECT_FALSE(seen[0].hasHeader("Authorization"));
    EXPECT_EQ(refusals, 1);
  }
}

INSTANTIATE_TEST_SUITE_P(BasicAndNtlm, DefaultSinkChallenges,
                         ::testing::Values(ChallengeCase{drav_test::AuthScheme::Basic, 0, 2},
                                           ChallengeCase{drav_test::AuthScheme::Basic, 32000, 2},
                                           ChallengeCase{drav_test::AuthScheme::Ntlm, 0, 3},
                                           ChallengeCase{drav_test::AuthScheme::Ntlm, 32000, 3}));

// The sink's answer to a refusal belongs to the call, not to one handle: a
// repeat that then meets a reset goes out again with the credentials.
TEST_F(Calls, TheSinksCredentialsStayWithACallWhoseRepeatIsReset) {
  if (dravtest::runningUnderWine()) GTEST_SKIP() << "Wine reports a reset as an aborted connection";
  makeProxy(AuthInfo().user("u").pass("p"));
  Reply challenge;
  challenge.status = 401;
  challenge.header("WWW-Authenticate", "Basic realm=\"drav\"");
  challenge.closeAfter = true;  // the repeat takes a fresh connection, which a reset ends
  Reply reset;
  reset.resetBeforeReply = true;
  for (const Reply& r : {challenge, reset}) server->enqueue(r);
  dravtest::CaptureTrace trace(Annal::Error);
  const std::string body(5000, 'r');
  DRAVHttpRequestPtr request(proxy->createRequest());
  request->setRepeatable(true);  // else the reset ends the call
  EXPECT_EQ(callWith(*request.get(), body, 1000), body.size());
  EXPECT_EQ(request->getCallStatus().httpCode(), 200u);
  EXPECT_TRUE(trace.contains("ERROR_INTERNET_CONNECTION_RESET -> retry"));
  const std::vector<drav_test::RecordedRequest> seen = server->requests();
  ASSERT_EQ(seen.size(), 3u) << "refused, reset, granted";
  EXPECT_FALSE(seen[0].hasHeader("Authorization"));
  for (std::size_t i : {1u, 2u}) EXPECT_EQ(seen[i].header("Authorization"), "Basic dTpw") << i;
  EXPECT_EQ(seen[2].bodyCrc, drav_test::crcOf(body));
}

TEST_F(Calls, RefusedCredentialsEndTheCallAfterBoundedRepeats) {
  makeProxy(AuthInfo().user("u").pass("wrong"));
  server->requireAuth(drav_test::AuthScheme::Basic, "u", "p");
  dravtest::CaptureTrace trace(Annal::Error);
  DRAVHttpRequestPtr request(proxy->createRequest());
  EXPECT_EQ(callWith(*request.get(), "abc"), 0u);
  EXPECT_TRUE(trace.contains("unhandled WinInet error"));
  const std::vector<drav_test::RecordedRequest> seen = server->requests();
  // The first call and three repeats; Wine sends each repeat once more
  // without credentials before it answers the challenge.
  EXPECT_EQ(seen.size(), dravtest::runningUnderWine() ? 7u : 4u);
  EXPECT_EQ(std::count_if(seen.begin(), seen.end(),
                          [](const drav_test::RecordedRequest& r) {
                            return r.header("Authorization") == "Basic dTp3cm9uZw==";
                          }),
            3)
      << "each repeat carries the credentials";
}

// A call that returns 0 says why in one line: host, port, plain reason.
TEST_F(Calls, AFailedCallSaysWhyInOneLineUntilTheNextCallGoesThrough) {
  const struct {
    const char* url;
    const char* why;
  } cases[] = {
      {"http://127.0.0.1:1/bridge", "127.0.0.1:1: connection refused (is the host listening on that port?)"},
      {"http://127.0.0.1:0/bridge", "127.0.0.1:0: no connection could be opened (check the URL's host and port)"},
  };
  for (const auto& c : cases) {
    // Wine's WinINet fails port 0 with ERROR_INTERNET_INCORRECT_HANDLE_TYPE: not compared.
    if (dravtest::runningUnderWine() && std::string(c.url).find(":0/") != std::string::npos) continue;
    DRAVBridgeProxy nowhere("b", Url(c.url), AuthInfo());
    DRAVHttpRequestPtr request(nowhere.createRequest());
    EXPECT_EQ(callWith(*request.get(), "abc"), 0u) << c.url;
    EXPECT_EQ(request->failureText(), c.why);
  }
  makeProxy(AuthInfo().user("u").pass("wrong"));
  server->requireAuth(drav_test::AuthScheme::Basic, "u", "p");
  DRAVHttpRequestPtr request(proxy->createRequest());
  EXPECT_EQ(callWith(*request.get(), "abc"), 0u);
  EXPECT_EQ(request->failureText(), server->hostPort() + ": the server refused the credentials (HTTP 401)");
  server->requireAuth(drav_test::AuthScheme::None, "", "");
  EXPECT_EQ(callWith(*request.get(), "abc"), 3u);
  EXPECT_EQ(request->failureText(), "");
}

// Which sending method a call took shows in its trace: only chunked posts
// count chunks.
struct PostCase {
  std::size_t argsSize;
  unsigned long chunk;
  unsigned long writeChunk;
  std::size_t blobSize;
  bool chunked;
};

class Posting : public TransportTest, public ::testing::WithParamInterface<PostCase> {};

TEST_P(Posting, TheBodyArrivesWholeByTheRightMethod) {
  const PostCase c = GetParam();
  dravtest::CaptureTrace trace(Annal::M);
  const std::string args = std::string(c.argsSize, 'a');
  std::string blob(c.blobSize, '\0');
  for (std::size_t i = 0; i < blob.size(); ++i) blob[i] = static_cast<char>(drav_test::patternByte(i));
  DRAVHttpRequestPtr request(proxy->createRequest());
  request->setWriteChunkSize(c.writeChunk);
  EXPECT_EQ(callWith(*request.get(), args, c.chunk, blob), args.size() + blob.size());
  const drav_test::RecordedRequest seen = server->requests().at(0);
  EXPECT_EQ(seen.bodySize, args.size() + blob.size());
  EXPECT_EQ(seen.bodyCrc, drav_test::crcOf(args + blob));
  EXPECT_EQ(seen.header("DRAVExtraBlob-Size"), std::to_string(blob.size()));
  EXPECT_EQ(trace.contains("chunk count : "), c.chunked);
  if (!c.chunked) return;
  // The pieces: whole chunks, then the rest; a blob without any chunk size
  // goes in pieces of 64 KiB.
  const std::size_t chunk = c.writeChunk ? c.writeChunk : c.chunk ? c.chunk : 65536;
  const std::vector<std::string> lines = trace.lines();
  auto has = [&lines](const std::string& line) {
    return std::find(lines.begin(), lines.end(), "M " + line) != lines.end();
  };
  EXPECT_TRUE(has("chunk count : " + std::to_string(args.size() / chunk)));
  if (!blob.empty()) {
    EXPECT_TRUE(has("chunkCount=" + std::to_string(blob.size() / chunk)));
  }
  if (blob.size() % chunk != 0) {
    EXPECT_TRUE(has("cSize=" + std::to_string(blob.size() % chunk) + " offset=" +
                    std::to_string(blob.size() - blob.size() % chunk)))
        << "the blob's rest";
  }
  EXPECT_FALSE(trace.contains("unable to send data"));
  const std::size_t sends = std::count_if(lines.begin(), lines.end(), [](const std::string& l) {
    return l.compare(0, 15, "M request send ") == 0;
  });
  const std::size_t pieces = (args.size() + chunk - 1) / chunk + (blob.size() + chunk - 1) / chunk;
  EXPECT_EQ(sends, pieces);
  EXPECT_EQ(lines.end()[-1], "M request send : " + std::to_string(args.size() + blob.size()) + " bytes sent")
      << "the last line counts every byte";
}

INSTANTIATE_TEST_SUITE_P(
    SizesAndChunks, Posting,
    ::testing::Values(PostCase{100, 100, 0, 0, false},          // equal to the chunk: direct
                      PostCase{101, 100, 0, 0, true},           // one more: a full chunk and a 1-byte rest
                      PostCase{5000, 0, 0, 0, false},           // no chunk size: direct
                      PostCase{5000, 100, 4096, 0, true},       // the write chunk size overrides
                      PostCase{5000, 100000, 0, 0, false},
                      PostCase{300, 64, 0, 100000, true},       // a blob always goes chunked
                      PostCase{300, 0, 0, 65537, true},         // ... also without any chunk size: 64 KiB pieces
                      PostCase{1 << 20, 65536, 0, 3 << 20, true}));

TEST_F(Calls, ABlobOfSizeZeroIsNoBlobButItsHeaderLineStays) {
  DRAVHttpRequestPtr request(proxy->createRequest());
  unsigned char blob[1] = {9};
  ASSERT_EQ(request->call("M", const_cast<char*>("abc"), 3, 0, false, StreamingNo, blob, 0), 3u);
  EXPECT_EQ(server->requests().at(0).header("DRAVExtraBlob-Size"), "0");
  EXPECT_EQ(server->requests().at(0).body, "abc");
}

TEST_F(Calls, EachCallHandsTheProxysCookiesOverOnesTheServerSet) {
  if (dravtest::runningUnderWine())
    GTEST_SKIP() << "Wine keeps a server's cookie beside the one set for the URL under the same name";
  makeProxy(AuthInfo(), "/cookie-calls/x");
  proxy->setCookies("kept=mine");
  Reply setting;
  setting.header("Set-Cookie", "kept=server; Path=/cookie-calls").header("Set-Cookie", "added=2; Path=/cookie-calls");
  server->enqueue(setting);
  for (int call = 0; call < 2; ++call) {
    DRAVHttpRequestPtr request(proxy->createRequest());
    ASSERT_EQ(callWith(*request.get(), "c"), 1u);
  }
  // Cookies that other tests left for the whole host may follow ours.
  const std::vector<drav_test::RecordedRequest> seen = server->requests();
  EXPECT_EQ(seen[0].header("Cookie").substr(0, 9), "kept=mine");
  EXPECT_EQ(seen[1].header("Cookie").substr(0, 18), "kept=mine; added=2")
      << "the proxy's value wins, the server's other cookie stays";
  EXPECT_EQ(seen[1].header("Cookie").find("kept=server"), std::string::npos);
  EXPECT_EQ(proxy->getCookies(), "kept=mine");
}

TEST_F(Calls, AnUnreachableBridgeFailsTheCallWithZeroAndNoStatus) {
  proxy.reset(new DRAVBridgeProxy("TestBridge", Url("http://127.0.0.1:1/bridge"), AuthInfo()));
  for (unsigned long chunk : {0ul, 1ul}) {  // direct, then chunked
    dravtest::CaptureTrace trace(Annal::Error);
    DRAVHttpRequestPtr request(proxy->createRequest());
    EXPECT_EQ(callWith(*request.get(), "abc", chunk), 0u) << chunk;
    const std::vector<std::string> lines = trace.lines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "Error request send : unable to send data"), 5)
        << "five attempts, then the call gives up; chunk " << chunk;
    EXPECT_TRUE(trace.contains("unhandled WinInet error")) << chunk;
    const CallStatus status = request->getCallStatus();
    EXPECT_EQ(status.httpCode(), 0u);
    EXPECT_EQ(status.error(), "the HTTP server is not started");
  }
}

TEST_F(Calls, CallsGoOutAsHttp11WhateverVersionTheProcessChoseBefore) {
  // Refused by a WinINet that does not offer the setting: then 1.1 anyway.
  HTTP_VERSION_INFO older = {1, 0};
  InternetSetOptionW(nullptr, INTERNET_OPTION_HTTP_VERSION, &older, sizeof older);
  DRAVHttpRequestPtr request(proxy->createRequest());
  ASSERT_EQ(callWith(*request.get(), "v"), 1u);
  EXPECT_EQ(server->requests().at(0).version, "HTTP/1.1");
}

#ifndef _WIN32
// Counting handles needs our WinINet. receive() on a request handle of the
// caller's own reads its answer in pieces as on the call's, and its end
// closes that handle.
TEST_F(Calls, ReceiveReadsAnotherRequestHandleAndItsEndClosesIt) {
  Reply reply;
  reply.body = "an answer of thirty-one bytes..";
  server->enqueue(reply);
  const std::size_t open = drav_wininet::openHandleCount();
  HINTERNET session = InternetOpenW(DRAV_W("receive-test"), INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0);
  HINTERNET connection =
      InternetConnectW(session, DRAV_W("127.0.0.1"), server->port(), nullptr, nullptr, INTERNET_SERVICE_HTTP, 0, 0);
  HINTERNET handle = HttpOpenRequestW(connection, nullptr, DRAV_W("/own"), nullptr, nullptr, nullptr, 0, 0);
  ASSERT_TRUE(HttpSendRequestW(handle, nullptr, 0, nullptr, 0)) << GetLastError();
  DRAVHttpRequestPtr request(proxy->createRequest());
  std::string body;
  char* piece = nullptr;
  for (unsigned long n, reads = 0; reads < 100 && (n = request->receive(handle, piece, 7)) > 0; ++reads) {
    EXPECT_LE(n, 7u);
    body.append(piece, n);
  }
  EXPECT_EQ(body, reply.body);
  EXPECT_EQ(piece, nullptr) << "the last receive leaves the buffer null";
  EXPECT_EQ(drav_wininet::openHandleCount(), open + 2) << "the end closed the request handle";
  InternetCloseHandle(connection);
  InternetCloseHandle(session);
}

// Counting handles needs our WinINet. A refusal is drained before the call
// is made again, so that its connection serves again, even when it is far
// larger than what the connection buffers; one too long to drain (more than
// 4096 pieces) closes its request.
TEST_F(Calls, DrainingALongRefusalStopsAndClosesItsRequest) {
  struct Case {
    std::size_t refusalSize;
    unsigned long piece;  // read size; 0: the default
  };
  for (const Case c : {Case{400000, 0}, Case{5000, 1}}) {
    SCOPED_TRACE(c.refusalSize);
    server = drav_test::openTestServer();  // one whose connections are counted from 0
    ASSERT_TRUE(server);
    makeProxy(AuthInfo().user("u").pass("p"));
    Reply refusal;
    refusal.status = 401;
    refusal.header("WWW-Authenticate", "Basic realm=\"r\"");
    refusal.generatedBodySize = c.refusalSize;
    server->enqueue(refusal);
    const std::size_t open = drav_wininet::openHandleCount();
    {
      DRAVHttpRequestPtr request(proxy->createRequest());
      request->setReadChunkSize(c.piece);
      EXPECT_EQ(callWith(*request.get(), "abc"), 3u);
      EXPECT_EQ(request->getCallStatus().httpCode(), 200u);
    }
    EXPECT_EQ(server->requests().size(), 2u);
    if (c.piece == 0) {
      EXPECT_EQ(server->connectionsAccepted(), 1u) << "the drained connection serves again";
    }
    EXPECT_EQ(drav_wininet::openHandleCount(), open + 2) << "only the proxy's session and connection stay open";
  }
}
#endif

// A refusal of a chunked post is answered on the same request while the
// call goes on: WinINet asks for the post again (ERROR_INTERNET_FORCE_RETRY)
// and the second post carries the credentials it learned. Nothing is traced
// as a failure (two refusals in a row: see ThroughProxy in peers_test.cpp).
TEST_F(Calls, RefusedChunkedPostsAreMadeAgainOnTheSameRequest) {
  if (dravtest::runningUnderWine())
    GTEST_SKIP() << "Wine's HttpEndRequestW hands the challenge back instead of ERROR_INTERNET_FORCE_RETRY";
  const std::string body(5000, 'f');
  for (bool withBlob : {false, true}) {
    server->reset();
    server->requireAuth(drav_test::AuthScheme::Basic, "alice", "secret");
    // Credentials handed to WinINet, not written in the header block.
    makeProxy(AuthInfo().user("alice").pass("secret").mode(AuthInfo::AuthNtlm));
    dravtest::CaptureTrace trace(Annal::Error);
    DRAVHttpRequestPtr request(proxy->createRequest());
    EXPECT_EQ(callWith(*request.get(), body, 1000, withBlob ? "blob" : ""), body.size() + (withBlob ? 4 : 0));
    EXPECT_EQ(request->getCallStatus().httpCode(), 200u);
    EXPECT_EQ(trace.lines(), std::vector<std::string>()) << "one refusal is no failure; blob " << withBlob;
    const std::vector<drav_test::RecordedRequest> seen = server->requests();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_FALSE(seen[0].hasHeader("Authorization"));
    EXPECT_EQ(seen[1].header("Authorization"), "Basic YWxpY2U6c2VjcmV0");
    EXPECT_EQ(seen[1].body, body + (withBlob ? "blob" : ""));
  }
}

TEST_F(Calls, ServerErrorsAreAnswersToRead) {
  Reply reply;
  reply.status = 500;
  reply.body = "broken";
  server->enqueue(reply);
  DRAVHttpRequestPtr request(proxy->createRequest());
  EXPECT_EQ(callWith(*request.get(), "abc"), 3u);
  EXPECT_EQ(request->getCallStatus().httpCode(), 500u);
  EXPECT_EQ(receiveAll(*request.get(), 4000, 4000), "broken");
}

// A redirect is the call's answer too: the call (its body, its credentials)
// is taken to no other place, and the caller reads the status.
TEST_F(Calls, ARedirectIsTheCallsAnswerAndTakesItNowhereElse) {
  makeProxy(AuthInfo().user("alice").pass("pw").mode(AuthInfo::AuthBasic));
  for (int status : {301, 302, 303, 307, 308}) {
    Reply moved;
    moved.status = status;
    moved.header("Location", server->url("/elsewhere"));
    server->enqueue(moved);
    DRAVHttpRequestPtr request(proxy->createRequest());
    EXPECT_EQ(callWith(*request.get(), "abc"), 3u);
    EXPECT_EQ(request->getCallStatus().httpCode(), static_cast<unsigned long>(status));
  }
  for (const drav_test::RecordedRequest& seen : server->requests()) EXPECT_EQ(seen.target, "/bridge/calls");
  EXPECT_EQ(server->requests().size(), 5u);
}

// A name goes into a header line: one holding CR, LF, NUL or another
// control character would end that line and start one of the sender's
// choosing. Such a call is refused before anything is sent.
TEST_F(Calls, NamesWithControlCharactersAreRefusedBeforeAnythingIsSent) {
  for (const std::string& name : {std::string("Echo\r\nX-Injected: yes"), std::string("a\nHost: evil.example"),
                                  std::string("a\0b", 3), std::string("tab\tbed"), std::string("del\x7f")}) {
    for (bool asBridge : {false, true}) {
      proxy.reset(new DRAVBridgeProxy(asBridge ? name : "TestBridge", Url(server->url("/bridge/calls")), AuthInfo()));
      DRAVHttpRequestPtr request(proxy->createRequest());
      std::string body = "abc";
      try {
        request->call(asBridge ? "Echo" : name, &body[0], 3, 0, false, StreamingNo, nullptr, 0);
        ADD_FAILURE() << "sent: " << name;
      } catch (const DRAVException& e) {
        const std::string what = e.what();
        EXPECT_EQ(what.find(asBridge ? "the bridge name \"" : "the method name \""), 0u) << what;
        EXPECT_EQ(what.find_first_of(std::string("\r\n\t\x7f\0", 5)), std::string::npos) << "shown escaped";
      }
    }
  }
  EXPECT_TRUE(server->requests().empty());
  EXPECT_EQ(server->connectionsAccepted(), 0u);
  // Spaces are no control characters: such names go out as they are.
  proxy.reset(new DRAVBridgeProxy("Test Bridge", Url(server->url("/bridge/calls")), AuthInfo()));
  DRAVHttpRequestPtr request(proxy->createRequest());
  EXPECT_EQ(callWith(*request.get(), "abc"), 3u);
  std::string body = "abc";
  EXPECT_EQ(request->call("Echo all", &body[0], 3, 0, false, StreamingNo, nullptr, 0), 3u);
  ASSERT_EQ(server->requests().size(), 2u);
  EXPECT_EQ(server->requests().at(0).header("DRAVBridgeName"), "Test Bridge");
  EXPECT_EQ(server->requests().at(1).header("DRAVMethodName"), "Echo all");
}

// A scheme other than http and https (a slip such as "htp") is refused
// before anything is sent, naming it; the call's failure says so too.
TEST_F(Calls, AnUnknownSchemeIsRefusedBeforeCallingNamingIt) {
  Url mistyped(server->url("/bridge/calls"));
  mistyped.scheme("htp");
  proxy.reset(new DRAVBridgeProxy("TestBridge", mistyped, AuthInfo()));
  DRAVHttpRequestPtr request(proxy->createRequest());
  const std::string expected = server->hostPort() + ": unsupported scheme \"htp\" (http or https): nothing was sent";
  try {
    callWith(*request.get(), "abc");
    ADD_FAILURE() << "no exception";
  } catch (const HttpPostDataException& e) {
    EXPECT_EQ(std::string(e.what()), "HTTP Request Send failed: " + expected);
    EXPECT_EQ(e.getErrorCode(), static_cast<unsigned long>(ERROR_INTERNET_UNRECOGNIZED_SCHEME));
  }
  EXPECT_EQ(request->failureText(), expected);
  EXPECT_EQ(server->connectionsAccepted(), 0u);
}

// A request that may have reached the bridge is never sent again on the
// transport's own: the server reads the whole body, then resets or closes
// without an answer, on a fresh connection and on a kept one (where libcurl
// would post it again by itself), posted whole and in chunks. The call fails
// once, saying it may have run.
TEST_F(Calls, ACallWhoseBodyArrivedAndGotNoAnswerIsPostedOnce) {
  // Wine reports a reset as an aborted connection and may post again on its own.
  if (dravtest::runningUnderWine()) GTEST_SKIP() << "Wine's WinINet repeats a lost request by itself";
  const std::string body(20000, 'q');
  for (bool reset : {true, false}) {
    for (bool kept : {false, true}) {
      for (unsigned long chunk : {0ul, 4096ul}) {
        const std::string label = std::string(reset ? "reset" : "close") + (kept ? ", kept" : ", fresh") +
                                  " connection, chunk " + std::to_string(chunk);
        server->reset();
        makeProxy(AuthInfo());
        if (kept) {
          DRAVHttpRequestPtr first(proxy->createRequest());
          ASSERT_EQ(callWith(*first.get(), "warm"), 4u) << label;
          receiveAll(*first.get(), 4000, 4000);
        }
        Reply lost;
        (reset ? lost.resetBeforeReply : lost.closeBeforeReply) = true;
        server->setDefaultReply(lost);
        DRAVHttpRequestPtr request(proxy->createRequest());
        try {
          callWith(*request.get(), body, chunk);
          ADD_FAILURE() << "no exception; " << label;
        } catch (const CallMayHaveRunException& e) {
          EXPECT_NE(std::string(e.what()).find("Call may have run: " + server->hostPort() + ": "), std::string::npos)
              << e.what();
          EXPECT_EQ(e.getErrorCode(), request->failureCode()) << label;
          if (reset) {
            EXPECT_EQ(e.getErrorCode(), static_cast<unsigned long>(ERROR_INTERNET_CONNECTION_RESET)) << label;
          }
        }
        const std::vector<drav_test::RecordedRequest> seen = server->requests();
        EXPECT_EQ(seen.size(), kept ? 2u : 1u) << label;
        EXPECT_EQ(seen.back().bodySize, body.size()) << label;
      }
    }
  }
}

// What the caller declared safe to repeat is repeated, with a bound.
TEST_F(Calls, ARepeatableCallIsRepeatedUpToABound) {
  if (dravtest::runningUnderWine()) GTEST_SKIP() << "Wine reports a reset as an aborted connection";
  Reply reset;
  reset.resetBeforeReply = true;
  Reply echo;
  echo.echoBody = true;
  server->enqueue(reset);
  server->setDefaultReply(echo);
  DRAVHttpRequestPtr request(proxy->createRequest());
  request->setRepeatable(true);
  EXPECT_EQ(callWith(*request.get(), "again", 2), 5u);
  EXPECT_EQ(receiveAll(*request.get(), 4000, 4000), "again");
  EXPECT_EQ(server->requests().size(), 2u);

  server->reset();
  server->setDefaultReply(reset);
  dravtest::CaptureTrace trace(Annal::Error);
  EXPECT_THROW(callWith(*request.get(), "lost"), CallMayHaveRunException);
  EXPECT_EQ(server->requests().size(), 4u) << "the call and three repeats";

}

#ifndef _WIN32
// The server answers, then closes the kept connection without saying so:
// the next call finds it closed before sending and takes a new one.
TEST(KeptConnections, OneTheServerClosedBeforeTheCallIsNoLostCall) {
  drav_test::HttpTestServer server;
  Reply closing;
  closing.closeUnannounced = true;
  server.enqueue(closing);
  Reply echo;
  echo.echoBody = true;
  server.setDefaultReply(echo);
  DRAVBridgeProxy proxy("b", Url(server.url("/bridge")), AuthInfo());
  DRAVHttpRequestPtr request(proxy.createRequest());
  ASSERT_EQ(request->call("M", const_cast<char*>("one"), 3, 0, false, StreamingNo, nullptr, 0), 3u);
  receiveAll(*request.get(), 4000, 4000);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (server.connectionsClosed() == 0 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  ASSERT_EQ(server.connectionsClosed(), 1u);
  EXPECT_EQ(request->call("M", const_cast<char*>("two"), 3, 0, false, StreamingNo, nullptr, 0), 3u);
  EXPECT_EQ(receiveAll(*request.get(), 4000, 4000), "two");
  EXPECT_EQ(server.requests().size(), 2u);
  EXPECT_EQ(server.connectionsAccepted(), 2u);
}

// The host takes a call on the kept connection and goes away before it
// answers: the engine tries a fresh connection, which is refused. That
// refusal says nothing about the call, which reached the host: it is
// reported as one that may have run, never made again (a host back up a
// moment later would run it twice).
TEST(KeptConnections, ACallLostWithItsHostIsNotMadeAgainWhenTheHostThenRefusesConnections) {
  using drav_test::RawPeer;
  for (unsigned long chunk : {0ul, 2ul}) {
    std::atomic<int> calls{0};
    std::unique_ptr<RawPeer> peer;
    peer.reset(new RawPeer([&](int socket, unsigned) {
      if (RawPeer::readRequest(socket).empty()) return;
      ++calls;
      RawPeer::sendAll(socket, "HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\none");
      if (RawPeer::readRequest(socket).empty()) return;
      ++calls;
      peer->closeListener();
    }));
    DRAVBridgeProxy proxy("b", Url(peer->url("/bridge")), AuthInfo());
    DRAVHttpRequestPtr request(proxy.createRequest());
    ASSERT_EQ(request->call("M", const_cast<char*>("one"), 3, chunk, false, StreamingNo, nullptr, 0), 3u);
    EXPECT_EQ(receiveAll(*request.get(), 4000, 4000), "one");
    EXPECT_THROW(request->call("M", const_cast<char*>("two"), 3, chunk, false, StreamingNo, nullptr, 0),
                 CallMayHaveRunException)
        << "chunk " << chunk;
    EXPECT_EQ(calls, 2) << "chunk " << chunk;
    EXPECT_EQ(peer->connections(), 1u) << "chunk " << chunk;
  }
}
#endif

}  // namespace
}  // namespace transport_test
