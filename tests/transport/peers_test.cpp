// The transport with real peers: SiteMinder sign-on, a real HTTP proxy with
// proxy authentication through the event sink, several threads on one
// proxy, and the SSL hook library loaded at run time.
#include "transport_fixture.h"

#include "support/proxy_test_tinyproxy.h"
#include "support/tls_test_certificate.h"
#include "support/wine_host.h"

#ifndef _WIN32
#include <win32/wininet_handles.h>
#endif

#include <algorithm>
#include <cstdlib>
#include <thread>

namespace transport_test {
namespace {

using drav_test::Reply;

// --- Single sign-on --------------------------------------------------------------

class SingleSignOn : public TransportTest {
protected:
  void SetUp() override {
    TransportTest::SetUp();
    if (IsSkipped()) return;
    makeProxy(AuthInfo().user("alice").pass("pw").ssoProvider("siteminder"), "/sso-bridge/calls");
    proxy->rootUrl() = Url(server->url("/sm-root"));
  }
};

TEST_F(SingleSignOn, TheFirstCallLogsOnAndEveryCallCarriesTheSessionCookie) {
  Reply logon;
  logon.body = "welcome page";
  logon.header("Set-Cookie", "SMSESSION=token123; Path=/");
  server->enqueue(logon);
  dravtest::CaptureTrace trace(Annal::M);
  ::testing::internal::CaptureStdout();
  for (int call = 0; call < 2; ++call) {
    DRAVHttpRequestPtr request(proxy->createRequest());
    EXPECT_GT(callWith(*request.get(), "args"), 0u);
  }
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "") << "the logon's answer may carry a session";
  const std::vector<std::string> lines = trace.lines();
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "M GET to rootUrl : " + server->url("/sm-root")), 1);
  const std::vector<drav_test::RecordedRequest> seen = server->requests();
  ASSERT_EQ(seen.size(), 3u) << "one logon, two calls";
  EXPECT_EQ(seen[0].method, "GET");
  EXPECT_EQ(seen[0].target, "/sm-root");
  EXPECT_EQ(seen[0].header("User-Agent"), "DRAVBridgeProxySSO");
  EXPECT_EQ(seen[0].header("Authorization"), "Basic YWxpY2U6cHc=");
  EXPECT_NE(seen[0].header("Cookie").find("SMCHALLENGE=YES"), std::string::npos);
  for (int call = 1; call <= 2; ++call)
    EXPECT_NE(seen[call].header("Cookie").find("SMSESSION=token123"), std::string::npos) << call;
  EXPECT_NE(proxy->getCookies().find("SMSESSION=token123"), std::string::npos);
}

TEST_F(SingleSignOn, AProxyThatAlreadyHoldsTheSessionCookieDoesNotLogOn) {
  proxy->setCookies("SMSESSION=kept");
  DRAVHttpRequestPtr request(proxy->createRequest());
  ASSERT_GT(callWith(*request.get(), "args"), 0u);
  const std::vector<drav_test::RecordedRequest> seen = server->requests();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].method, "POST");
  EXPECT_NE(seen[0].header("Cookie").find("SMSESSION=kept"), std::string::npos);
}

// Only a cookie named SMSESSION is a session, not one whose name holds the word.
TEST_F(SingleSignOn, ACookieMerelyNamedLikeTheSessionStillLogsOn) {
  proxy->setCookies("LAST_SMSESSION=old; SMSESSION_HINT=x");
  Reply logon;
  logon.header("Set-Cookie", "SMSESSION=fresh; Path=/");
  server->enqueue(logon);
  DRAVHttpRequestPtr request(proxy->createRequest());
  ASSERT_GT(callWith(*request.get(), "args"), 0u);
  const std::vector<drav_test::RecordedRequest> seen = server->requests();
  ASSERT_EQ(seen.size(), 2u) << "a logon, then the call";
  EXPECT_EQ(seen[0].method, "GET");
  EXPECT_NE(seen[1].header("Cookie").find("SMSESSION=fresh"), std::string::npos);
}

// A refused logon stops the call before it is sent, with the logon's answer
// (escaped) in the exception; the next call logs on again.
TEST_F(SingleSignOn, ARefusedLogonStopsTheCallWithTheLogonsAnswer) {
  Reply refused;
  refused.status = 401;
  refused.body = "wrong password\x1b]0;owned\x07";
  server->enqueue(refused);
  std::vector<const char*> answers = {"answered HTTP 401: wrong password\\x1B]0;owned\\x07"};
  // The process's cookie store may hold a session for 127.0.0.1 from
  // another test (cookies know no port): this answer ends it. Wine's store
  // keeps a cookie a server ends (a cookie ended by Max-Age=0 stays), so there
  // the second logon finds the old session.
  if (!dravtest::runningUnderWine()) {
    Reply noSession;
    noSession.body = "a page without a session";
    noSession.header("Set-Cookie", "SMSESSION=gone; Path=/; Max-Age=0");
    server->enqueue(noSession);
    answers.push_back("answered HTTP 200 without a session (SMSESSION): a page without a session");
  }
  for (const char* expected : answers) {
    DRAVHttpRequestPtr request(proxy->createRequest());
    try {
      callWith(*request.get(), "args");
      ADD_FAILURE() << "no exception";
    } catch (const HttpPostDataException& e) {
      EXPECT_NE(std::string(e.what()).find(server->hostPort() + ": the sign-on at /sm-root " + expected),
                std::string::npos)
          << e.what();
    }
  }
  const std::vector<drav_test::RecordedRequest> seen = server->requests();
  ASSERT_EQ(seen.size(), answers.size()) << "logons only, no call";
  EXPECT_EQ(seen.back().method, "GET");
}

// A sign-on that cannot even be opened (a port no connection can have) is
// a failed one: the call does not go out without the session.
TEST_F(SingleSignOn, ALogonThatCannotStartStopsTheCall) {
  for (const char* root : {"http://127.0.0.1:70000/sm-root", "http://127.0.0.1:0/sm-root"}) {
    proxy->rootUrl() = Url(root);
    DRAVHttpRequestPtr request(proxy->createRequest());
    EXPECT_THROW(callWith(*request.get(), "args"), HttpPostDataException) << root;
  }
  EXPECT_TRUE(server->requests().empty()) << "no call without the session";
}

// The sign-on's credentials go to the logon only: not in a call's header
// block, not to a challenge of the bridge. A bridge whose calls need
// credentials of their own gets AuthInfo's, the sign-on its own.
TEST_F(SingleSignOn, TheSignOnsCredentialsNeverGoOnACall) {
  makeProxy(AuthInfo().user("alice").pass("pw").mode(AuthInfo::AuthBasic).ssoProvider("siteminder"),
            "/sso-bridge/calls");
  proxy->rootUrl() = Url(server->url("/sm-root"));
  Reply logon;
  logon.header("Set-Cookie", "SMSESSION=s1; Path=/");
  server->enqueue(logon);
  Reply challenge;
  challenge.status = 401;
  challenge.header("WWW-Authenticate", "Basic realm=\"bridges\"");
  server->setDefaultReply(challenge);
  DRAVHttpRequestPtr request(proxy->createRequest());
  EXPECT_EQ(callWith(*request.get(), "args"), 0u);
  std::vector<drav_test::RecordedRequest> seen = server->requests();
  ASSERT_GE(seen.size(), 2u);
  EXPECT_EQ(seen[0].header("Authorization"), "Basic YWxpY2U6cHc=") << "the logon";
  for (std::size_t i = 1; i < seen.size(); ++i) EXPECT_FALSE(seen[i].hasHeader("Authorization")) << i;

  server->reset();
  makeProxy(AuthInfo().user("caller").pass("c").mode(AuthInfo::AuthBasic).signOn("alice", "pw").ssoProvider("siteminder"),
            "/sso-bridge/calls");
  proxy->rootUrl() = Url(server->url("/sm-root"));
  server->enqueue(logon);
  DRAVHttpRequestPtr both(proxy->createRequest());
  EXPECT_GT(callWith(*both.get(), "args"), 0u);
  seen = server->requests();
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].header("Authorization"), "Basic YWxpY2U6cHc=");
  EXPECT_EQ(seen[1].header("Authorization"), "Basic Y2FsbGVyOmM=");
  EXPECT_NE(seen[1].header("Cookie").find("SMSESSION=s1"), std::string::npos);
}

#ifndef _WIN32
// Counting handles needs our WinINet.
TEST_F(SingleSignOn, ALogonAnswerThatBreaksOffStillClosesItsRequest) {
  Reply broken;
  broken.generatedBodySize = 50000;
  broken.resetAfterBodyBytes = 3000;
  server->enqueue(broken);
  dravtest::CaptureTrace trace(Annal::Error);
  const std::size_t open = drav_wininet::openHandleCount();
  try {
    proxy->getSsoProvider()->initialize(proxy.get());
  } catch (const HttpPostDataException&) {
    // no session came (unless the process's store holds one from before)
  }
  EXPECT_TRUE(trace.contains("response reading has failed"));
  EXPECT_EQ(drav_wininet::openHandleCount(), open);
}
#endif

// --- A real proxy -------------------------------------------------------------------

#ifndef _WIN32
// The transport takes the system's proxy settings: here the environment
// (our WinINet's preconfigured proxy); Windows keeps them in the registry.

// Sets the proxy of the process environment for the test's duration.
class ProxyEnvironment {
public:
  explicit ProxyEnvironment(const std::string& proxy) {
    for (const char* name : {"http_proxy", "no_proxy", "NO_PROXY"}) {
      const char* value = std::getenv(name);
      saved_.emplace_back(name, value ? std::string(value) : std::string("\x01"));
    }
    setenv("http_proxy", ("http://" + proxy).c_str(), 1);
    unsetenv("no_proxy");
    unsetenv("NO_PROXY");
  }
  ~ProxyEnvironment() {
    for (const auto& s : saved_) {
      if (s.second == "\x01") unsetenv(s.first.c_str());
      else setenv(s.first.c_str(), s.second.c_str(), 1);
    }
  }

private:
  std::vector<std::pair<std::string, std::string>> saved_;
};

// Supplies the proxy credentials when the proxy refuses the call.
class PromptingSink : public DefaultHttpEventSink {
public:
  void onHttpProxyAuthRequest(DRAVHttpRequest& request) override {
    ++prompts;
    request.getProxy()->getAuthInfo().proxyUser(drav_test::kProxyUser).proxyPass(drav_test::kProxyPassword).proxyMode(
        AuthInfo::AuthBasic);
  }
  int prompts = 0;
};

// tinyproxy closes a client's connection after each answer without saying
// so, and after a refusal: a call on the kept connection may meet that
// close after its request went out, which the transport does not repeat on
// its own. The calls here are declared repeatable.
class ThroughProxy : public TransportTest {
protected:
  DRAVHttpRequest* repeatableRequest() {
    DRAVHttpRequest* request = proxy->createRequest();
    request->setRepeatable(true);
    return request;
  }

  void SetUp() override {
    TransportTest::SetUp();
    if (IsSkipped()) return;
    std::string why;
    tinyproxy = drav_test::TestProxy::open(why);
    if (!tinyproxy) GTEST_SKIP() << why;
    environment.reset(new ProxyEnvironment(tinyproxy->hostPort()));
  }
  void TearDown() override {
    proxy.reset();
    environment.reset();
  }

  std::unique_ptr<drav_test::TestProxy> tinyproxy;
  std::unique_ptr<ProxyEnvironment> environment;
};

TEST_F(ThroughProxy, CallsWithTheProxyCredentialsGoThrough) {
  makeProxy(AuthInfo().proxyUser(drav_test::kProxyUser).proxyPass(drav_test::kProxyPassword).proxyMode(AuthInfo::AuthBasic));
  for (unsigned long chunk : {0ul, 1000ul}) {
    DRAVHttpRequestPtr request(repeatableRequest());
    EXPECT_EQ(callWith(*request.get(), std::string(5000, 'p'), chunk), 5000u) << chunk;
    EXPECT_EQ(request->getCallStatus().httpCode(), 200u) << chunk;
    EXPECT_EQ(server->requests().back().bodySize, 5000u);
  }
}

TEST_F(ThroughProxy, SignOnAndDownloadsCarryTheProxyCredentials) {
  makeProxy(AuthInfo().user("alice").pass("pw").ssoProvider("siteminder").proxyUser(drav_test::kProxyUser)
                .proxyPass(drav_test::kProxyPassword).proxyMode(AuthInfo::AuthBasic),
            "/sso-bridge/calls");
  proxy->rootUrl() = Url(server->url("/sm-root"));
  Reply logon;
  logon.header("Set-Cookie", "SMSESSION=via-proxy; Path=/");
  server->enqueue(logon);
  Reply resource;
  resource.body = "resource";
  DRAVHttpRequestPtr request(repeatableRequest());
  EXPECT_EQ(callWith(*request.get(), "args"), 4u);
  server->enqueue(resource);
  std::vector<unsigned char> data;
  request->downloadResource(server->url("/files/r"), data);
  EXPECT_EQ(std::string(data.begin(), data.end()), "resource");
  const std::vector<drav_test::RecordedRequest> seen = server->requests();
  ASSERT_EQ(seen.size(), 3u) << "the proxy forwarded the logon, the call and the download";
  EXPECT_EQ(seen[0].target, "/sm-root");
  EXPECT_NE(seen[1].header("Cookie").find("SMSESSION=via-proxy"), std::string::npos);
  EXPECT_EQ(seen[2].target, "/files/r");
}

TEST_F(ThroughProxy, ARefusalAsksTheEventSinkAndTheCallIsMadeAgain) {
  PromptingSink* sink = new PromptingSink();
  proxy->setEventSink(sink);
  dravtest::CaptureTrace trace(Annal::Error);
  DRAVHttpRequestPtr request(repeatableRequest());
  EXPECT_EQ(callWith(*request.get(), "args"), 4u);
  EXPECT_EQ(request->getCallStatus().httpCode(), 200u);
  EXPECT_EQ(sink->prompts, 1);
  EXPECT_TRUE(trace.contains("HTTP_STATUS_PROXY_AUTH_REQ -> invalid HTTP proxy login/password"));
  EXPECT_EQ(server->requests().size(), 1u);
}

TEST_F(ThroughProxy, TheDefaultSinkAnswersARefusalWithTheProxyCredentials) {
  // No proxy mode: the first call goes without the credentials.
  makeProxy(AuthInfo().proxyUser(drav_test::kProxyUser).proxyPass(drav_test::kProxyPassword));
  for (unsigned long chunk : {0ul, 1000ul}) {
    dravtest::CaptureTrace trace(Annal::Error);
    DRAVHttpRequestPtr request(repeatableRequest());
    EXPECT_EQ(callWith(*request.get(), std::string(5000, 'd'), chunk), 5000u) << chunk;
    EXPECT_EQ(request->getCallStatus().httpCode(), 200u) << chunk;
    const std::vector<std::string> lines = trace.lines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(),
                         "Error request failed : HTTP_STATUS_PROXY_AUTH_REQ -> invalid HTTP proxy login/password"),
              1)
        << chunk;
  }
  // The proxy forwards only a call that carried its credentials.
  ASSERT_EQ(server->requests().size(), 2u);
  EXPECT_EQ(server->requests().back().bodySize, 5000u);
}

// The first post of a chunked call is refused by the proxy, the second
// (with the proxy's credentials) by the server: the post failed twice, and
// the call makes it once more with both credentials.
TEST_F(ThroughProxy, TwoRefusalsOfAChunkedPostInARowMakeTheCallAgain) {
  makeProxy(AuthInfo().user("alice").pass("secret").mode(AuthInfo::AuthNtlm).proxyUser(drav_test::kProxyUser)
                .proxyPass(drav_test::kProxyPassword).proxyMode(AuthInfo::AuthBasic));
  server->requireAuth(drav_test::AuthScheme::Basic, "alice", "secret");
  const std::string body(5000, 't');
  dravtest::CaptureTrace trace(Annal::Error);
  DRAVHttpRequestPtr request(repeatableRequest());
  EXPECT_EQ(callWith(*request.get(), body, 1000), body.size());
  EXPECT_EQ(request->getCallStatus().httpCode(), 200u);
  // The proxy closes its side after a refusal; a refusal that came before the
  // close stands, but a close that overtakes the refusal fails the write,
  // and the (repeatable) call is made again at once.
  std::vector<std::string> lines = trace.lines();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.front(), "Error DRAVBridgeProxy::chunkedPostData second retry failed");
  const auto retries = std::count_if(lines.begin(), lines.end(), [](const std::string& line) {
    return line.find(" -> retry") != std::string::npos;
  });
  EXPECT_LE(retries, 1) << testing::PrintToString(lines);
  const std::vector<drav_test::RecordedRequest> seen = server->requests();
  ASSERT_EQ(seen.size(), 2u) << "the proxy forwards the two posts that carried its credentials";
  EXPECT_FALSE(seen[0].hasHeader("Authorization"));
  EXPECT_EQ(seen[1].header("Authorization"), "Basic YWxpY2U6c2VjcmV0");
  EXPECT_EQ(seen[1].body, body);
}

TEST_F(ThroughProxy, WithoutAnyCredentialsTheRefusalEndsTheCallAfterBoundedRepeats) {
  dravtest::CaptureTrace trace(Annal::Error);
  DRAVHttpRequestPtr request(repeatableRequest());
  EXPECT_EQ(callWith(*request.get(), "args"), 0u);
  EXPECT_TRUE(trace.contains("unhandled WinInet error"));
  EXPECT_TRUE(server->requests().empty());
}

#endif  // _WIN32

// --- HTTPS --------------------------------------------------------------------------

TEST(Https, AServerWithAnUnknownCertificateIsRefusedUnlessVerificationIsTurnedOff) {
  std::unique_ptr<drav_test::ScriptedServer> server = drav_test::openTlsTestServer();
  if (!server) GTEST_SKIP() << "no HTTPS test server: set DRAV_TEST_TLS_SERVER";
  // Wine's WinINet accepts the test server's self-signed certificate without
  // the ignore flags, where Windows refuses it: not compared.
  if (dravtest::runningUnderWine()) GTEST_SKIP() << "Wine's certificate checks are not compared";
  Reply reply;
  reply.body = "over tls";
  server->enqueue(reply);
  {
    DRAVBridgeProxy verifying("secure", Url(server->url("/bridge")), AuthInfo());
    DRAVHttpRequestPtr refused(verifying.createRequest());
    EXPECT_THROW(refused->call("M", const_cast<char*>("abc"), 3, 0, false, StreamingNo, nullptr, 0),
                 UnknownCertAuthException);
  }
  TlsPolicy testSetup;
  testSetup.verify = false;
  DRAVBridgeProxy proxy("secure", Url(server->url("/bridge")), AuthInfo().tls(testSetup));
  DRAVHttpRequestPtr request(proxy.createRequest());
  EXPECT_EQ(request->call("M", const_cast<char*>("abc"), 3, 0, false, StreamingNo, nullptr, 0), 3u);
  EXPECT_EQ(request->getCallStatus().httpCode(), 200u);
  EXPECT_EQ(receiveAll(*request.get(), 100, 100), "over tls");
  EXPECT_EQ(server->requests().at(0).body, "abc");
}

#ifndef _WIN32
// Needs a server that asks for a certificate, made in this process.
TEST(Https, AResetFromAServerThatOnlyAsksForACertificateIsAResetNotACertificateDemand) {
  drav_test::TestCertificate certificate;
  drav_test::ServerOptions options;
  options.certFile = certificate.certFile();
  options.keyFile = certificate.keyFile();
  options.clientCertificate = drav_test::ClientCertificate::Requested;
  options.tls12Only = true;
  drav_test::HttpTestServer server(options);
  Reply reset;
  reset.resetBeforeReply = true;
  server.enqueue(reset);
  TlsPolicy trusted;
  trusted.caFile = certificate.certFile();
  DRAVBridgeProxy proxy("b", Url(server.url("/bridge")), AuthInfo().tls(trusted));
  DRAVHttpRequestPtr request(proxy.createRequest());
  EXPECT_THROW(request->call("M", const_cast<char*>("x"), 1, 0, false, StreamingNo, nullptr, 0),
               CallMayHaveRunException);
  EXPECT_EQ(request->failureCode(), static_cast<unsigned long>(ERROR_INTERNET_CONNECTION_RESET));
  EXPECT_EQ(server.requests().size(), 1u);
}
#endif

// --- Threads ------------------------------------------------------------------------

TEST_F(TransportTest, SeveralThreadsCallThroughOneProxy) {
  Reply echo;
  echo.echoBody = true;
  server->setDefaultReply(echo);
  proxy->setCookies("shared=1");
  constexpr int kThreads = 4, kCalls = 10;
  std::vector<int> good(kThreads, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int c = 0; c < kCalls; ++c) {
        const std::string body = "thread " + std::to_string(t) + " call " + std::to_string(c) +
                                 std::string(static_cast<std::size_t>(c) * 700, 'x');
        DRAVHttpRequestPtr request(proxy->createRequest());
        if (callWith(*request.get(), body, c % 2 ? 512 : 0) != body.size()) continue;
        std::string answer;
        char* piece = nullptr;
        for (unsigned long n; (n = request->receive(piece, 1000)) > 0;) answer.append(piece, n);
        if (answer == body) ++good[t];
      }
    });
  }
  for (std::thread& t : threads) t.join();
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(good[t], kCalls) << "thread " << t;
  EXPECT_EQ(server->requests().size(), static_cast<std::size_t>(kThreads * kCalls));
  EXPECT_LE(server->connectionsAccepted(), static_cast<unsigned>(kThreads + 1));
}

// --- The SSL hook library -----------------------------------------------------------

#ifndef _WIN32
TEST(SslHook, EachCertificateFailureOfASendIsHandedToTheHookLibrary) {
  HMODULE hook = LoadLibraryA("dravSsl");  // keeps it loaded so its record survives the transport's unloads
  if (!hook) GTEST_SKIP() << "the test hook library libdravSsl.so is not on the search path";
  auto calls = reinterpret_cast<int (*)()>(reinterpret_cast<void (*)()>(GetProcAddress(hook, "sslHookCalls")));
  auto lastHandle = reinterpret_cast<void* (*)()>(reinterpret_cast<void (*)()>(GetProcAddress(hook, "sslHookLastHandle")));
  auto lastCode = reinterpret_cast<std::uint32_t (*)()>(reinterpret_cast<void (*)()>(GetProcAddress(hook, "sslHookLastCode")));
  auto reset = reinterpret_cast<void (*)()>(reinterpret_cast<void (*)()>(GetProcAddress(hook, "sslHookReset")));
  ASSERT_TRUE(calls && lastHandle && lastCode && reset);
  reset();

  drav_test::TestCertificate certificate;
  drav_test::ServerOptions options;
  options.certFile = certificate.certFile();
  options.keyFile = certificate.keyFile();
  options.clientCertificate = drav_test::ClientCertificate::Required;
  drav_test::HttpTestServer server(options);
  TlsPolicy trusted;
  trusted.caFile = certificate.certFile();
  DRAVBridgeProxy proxy("b", Url(server.url("/bridge")), AuthInfo().tls(trusted));
  DRAVHttpRequestPtr request(proxy.createRequest());
  dravtest::CaptureTrace trace(Annal::Error);
  EXPECT_THROW(request->call("M", const_cast<char*>("x"), 1, 0, false, StreamingNo, nullptr, 0),
               UnknownClientCertAuthException);
  EXPECT_TRUE(trace.contains("request failed : ERROR_INTERNET_CLIENT_AUTH_CERT_NEEDED"));
  EXPECT_EQ(calls(), 2) << "the hook accepted the first failure: one more attempt, no more";
  EXPECT_EQ(server.connectionsOpened(), 2u);
  EXPECT_EQ(lastCode(), static_cast<std::uint32_t>(ERROR_INTERNET_CLIENT_AUTH_CERT_NEEDED));
  EXPECT_EQ(lastHandle(), request->getRequestHandle());

  // A certificate that does not verify gets the hook's say too, with its own code.
  reset();
  drav_test::TestAuthority authority;
  std::unique_ptr<drav_test::TestCertificate> misnamed = authority.issue("DNS:elsewhere.example");
  drav_test::ServerOptions other;
  other.certFile = misnamed->certFile();
  other.keyFile = misnamed->keyFile();
  drav_test::HttpTestServer elsewhere(other);
  trusted.caFile = authority.certFile();
  DRAVBridgeProxy verifying("b", Url(elsewhere.url("/bridge")), AuthInfo().tls(trusted));
  DRAVHttpRequestPtr refused(verifying.createRequest());
  EXPECT_THROW(refused->call("M", const_cast<char*>("x"), 1, 0, false, StreamingNo, nullptr, 0),
               UnknownCertAuthException);
  EXPECT_EQ(calls(), 2) << "once, and once more as the hook accepted it";
  EXPECT_EQ(elsewhere.connectionsOpened(), 2u) << "two handshakes for the call";
  EXPECT_EQ(lastCode(), static_cast<std::uint32_t>(ERROR_INTERNET_SEC_CERT_CN_INVALID));
  FreeLibrary(hook);
}
#endif

}  // namespace
}  // namespace transport_test
