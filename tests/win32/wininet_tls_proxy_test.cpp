// HTTPS with certificates made at test time, and a real HTTP proxy
// (tinyproxy) with Basic proxy authentication.
#include "wininet_fixture.h"

#include "support/proxy_test_tinyproxy.h"
#include "support/tls_test_certificate.h"

namespace wininet_test {
namespace {

using drav_test::Reply;

// The flags the transport sets on https requests.
constexpr DWORD kLenientFlags = SECURITY_FLAG_IGNORE_REVOCATION | SECURITY_FLAG_IGNORE_UNKNOWN_CA |
                                SECURITY_FLAG_IGNORE_CERT_CN_INVALID | SECURITY_FLAG_IGNORE_CERT_DATE_INVALID |
                                SECURITY_FLAG_IGNORE_REDIRECT_TO_HTTPS | SECURITY_FLAG_IGNORE_REDIRECT_TO_HTTP;

class Https : public WininetTest {
protected:
  void SetUp() override {
    WininetTest::SetUp();
    if (IsSkipped()) return;
    tlsServer = drav_test::openTlsTestServer();
    if (!tlsServer) GTEST_SKIP() << "no HTTPS test server: set DRAV_TEST_TLS_SERVER";
  }

  // Sends a GET over https with the given security flags; the error code, or 0.
  DWORD getWith(DWORD securityFlags, const drav_test::ScriptedServer& target) {
    Handle connection(InternetConnectW(session, wide(target.host()).c_str(), target.port(), nullptr, nullptr,
                                       INTERNET_SERVICE_HTTP, 0, 0));
    Handle request(open(connection, "GET", "/secure", INTERNET_FLAG_SECURE));
    if (securityFlags) {
      EXPECT_TRUE(setNumber(request, INTERNET_OPTION_SECURITY_FLAGS, securityFlags));
    }
    if (!HttpSendRequestW(request, nullptr, 0, nullptr, 0)) return GetLastError();
    EXPECT_EQ(statusOf(request), 200u);
    EXPECT_EQ(readAll(request, 1000), "secret");
    return 0;
  }

  std::unique_ptr<drav_test::ScriptedServer> tlsServer;
};

TEST_F(Https, AnUnknownAuthorityIsRefusedUnlessTheFlagsAllowIt) {
  Reply reply;
  reply.body = "secret";
  tlsServer->setDefaultReply(reply);
  EXPECT_EQ(getWith(0, *tlsServer), static_cast<DWORD>(ERROR_INTERNET_INVALID_CA));
  EXPECT_EQ(getWith(kLenientFlags, *tlsServer), 0u);
}

#ifndef _WIN32
// These need servers with particular certificates, made in this process.
TEST_F(Https, TheCaFileAndFolderOptionsTrustTheirAuthoritiesBesideTheSystems) {
  drav_test::TestAuthority authority;
  std::unique_ptr<drav_test::TestCertificate> issued = authority.issue("IP:127.0.0.1");
  drav_test::ServerOptions options;
  options.certFile = issued->certFile();
  options.keyFile = issued->keyFile();
  drav_test::HttpTestServer server(options);
  Reply reply;
  reply.body = "secret";
  server.setDefaultReply(reply);
  EXPECT_EQ(getWith(0, server), static_cast<DWORD>(ERROR_INTERNET_INVALID_CA));
  for (const DWORD option : {INTERNET_OPTION_DRAV_CA_FILE, INTERNET_OPTION_DRAV_CA_FOLDER}) {
    const std::string& path = option == INTERNET_OPTION_DRAV_CA_FILE ? authority.certFile() : authority.hashedFolder();
    Handle connection(InternetConnectW(session, wide(server.host()).c_str(), server.port(), nullptr, nullptr,
                                       INTERNET_SERVICE_HTTP, 0, 0));
    Handle request(open(connection, "GET", "/secure", INTERNET_FLAG_SECURE));
    ASSERT_TRUE(setText(request, option, path));
    ASSERT_TRUE(HttpSendRequestW(request, nullptr, 0, nullptr, 0)) << option << " " << GetLastError();
    EXPECT_EQ(readAll(request, 1000), "secret");
  }
}

TEST_F(Https, AnExpiredCertificateIsRefusedAsADateFault) {
  drav_test::TestAuthority authority;
  std::unique_ptr<drav_test::TestCertificate> expired = authority.issue("IP:127.0.0.1", true);
  drav_test::ServerOptions options;
  options.certFile = expired->certFile();
  options.keyFile = expired->keyFile();
  drav_test::HttpTestServer server(options);
  Handle connection(InternetConnectW(session, wide(server.host()).c_str(), server.port(), nullptr, nullptr,
                                     INTERNET_SERVICE_HTTP, 0, 0));
  Handle request(open(connection, "GET", "/secure", INTERNET_FLAG_SECURE));
  ASSERT_TRUE(setText(request, INTERNET_OPTION_DRAV_CA_FILE, authority.certFile()));
  EXPECT_FALSE(HttpSendRequestW(request, nullptr, 0, nullptr, 0));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INTERNET_SEC_CERT_DATE_INVALID));
}

TEST_F(Https, ANameMismatchIsRefusedWhenOnlyTheAuthorityIsIgnored) {
  drav_test::TestCertificate other("other.example", false);
  drav_test::ServerOptions options;
  options.certFile = other.certFile();
  options.keyFile = other.keyFile();
  drav_test::HttpTestServer misnamed(options);
  Reply reply;
  reply.body = "secret";
  misnamed.setDefaultReply(reply);
  EXPECT_EQ(getWith(SECURITY_FLAG_IGNORE_UNKNOWN_CA, misnamed), static_cast<DWORD>(ERROR_INTERNET_SEC_CERT_CN_INVALID));
  EXPECT_EQ(getWith(SECURITY_FLAG_IGNORE_UNKNOWN_CA | SECURITY_FLAG_IGNORE_CERT_CN_INVALID, misnamed), 0u);
}

// Only a server that demands a client certificate refuses us for want of
// one; with a server that merely asks, a reset is a reset.
TEST_F(Https, OnlyADemandedClientCertificateGivesClientAuthCertNeeded) {
  drav_test::TestCertificate certificate;
  for (const bool tls12 : {true, false}) {
    drav_test::ServerOptions options;
    options.certFile = certificate.certFile();
    options.keyFile = certificate.keyFile();
    options.tls12Only = tls12;
    options.clientCertificate = drav_test::ClientCertificate::Required;
    drav_test::HttpTestServer demanding(options);
    EXPECT_EQ(getWith(kLenientFlags, demanding), static_cast<DWORD>(ERROR_INTERNET_CLIENT_AUTH_CERT_NEEDED)) << tls12;
    options.clientCertificate = drav_test::ClientCertificate::Requested;
    drav_test::HttpTestServer asking(options);
    Reply reset;
    reset.resetBeforeReply = true;
    asking.enqueue(reset);
    Reply reply;
    reply.body = "secret";
    asking.setDefaultReply(reply);
    EXPECT_EQ(getWith(kLenientFlags, asking), static_cast<DWORD>(ERROR_INTERNET_CONNECTION_RESET)) << tls12;
    EXPECT_EQ(getWith(kLenientFlags, asking), 0u) << tls12;
  }
}
#endif

class ThroughProxy : public WininetTest {
protected:
  void SetUp() override {
    WininetTest::SetUp();
    if (IsSkipped()) return;
    std::string why;
    proxy = drav_test::TestProxy::open(why);
    if (!proxy) GTEST_SKIP() << why;
    proxied.h = InternetOpenW(DRAV_W("wininet-test"), INTERNET_OPEN_TYPE_PROXY, wide(proxy->hostPort()).c_str(),
                              nullptr, 0);
    ASSERT_NE(proxied.h, nullptr);
    connection.h = InternetConnectW(proxied, wide(server->host()).c_str(), server->port(), nullptr, nullptr,
                                    INTERNET_SERVICE_HTTP, 0, 0);
  }

  std::unique_ptr<drav_test::TestProxy> proxy;
  Handle proxied;
  Handle connection;
};

TEST_F(ThroughProxy, WithoutProxyCredentialsTheAnswerIs407) {
  Handle request(open(connection, "POST", "/via"));
  ASSERT_TRUE(HttpSendRequestW(request, nullptr, 0, nullptr, 0)) << GetLastError();
  EXPECT_EQ(statusOf(request), 407u);
  EXPECT_TRUE(server->requests().empty()) << "the proxy stopped it";
}

// A host on the session's bypass list is reached directly, not through the
// proxy (which would answer 407 without credentials).
TEST_F(ThroughProxy, AHostOnTheBypassListIsReachedDirectly) {
  if (dravtest::runningUnderWine()) GTEST_SKIP() << "Wine's bypass list is not compared";
  Handle bypassing(InternetOpenW(DRAV_W("wininet-test"), INTERNET_OPEN_TYPE_PROXY, wide(proxy->hostPort()).c_str(),
                                 wide("example.invalid; " + server->host()).c_str(), 0));
  ASSERT_NE(bypassing.h, nullptr);
  Handle direct(InternetConnectW(bypassing, wide(server->host()).c_str(), server->port(), nullptr, nullptr,
                                 INTERNET_SERVICE_HTTP, 0, 0));
  Handle request(open(direct, "POST", "/direct"));
  ASSERT_TRUE(HttpSendRequestW(request, nullptr, 0, nullptr, 0)) << GetLastError();
  EXPECT_EQ(statusOf(request), 200u);
  ASSERT_EQ(server->requests().size(), 1u);
  EXPECT_EQ(server->requests().back().target, "/direct");
}

TEST_F(ThroughProxy, ProxyCredentialsLetWholeAndStreamedBodiesThrough) {
  if (dravtest::runningUnderWine())
    GTEST_SKIP() << "Wine fails a send on a kept-alive connection the proxy closed (12030) instead of reconnecting";
  Reply reply;
  reply.body = "via proxy";
  server->setDefaultReply(reply);
  {
    Handle request(open(connection, "POST", "/whole"));
    ASSERT_TRUE(setText(request, INTERNET_OPTION_PROXY_USERNAME, drav_test::kProxyUser));
    ASSERT_TRUE(setText(request, INTERNET_OPTION_PROXY_PASSWORD, drav_test::kProxyPassword));
    char body[] = "abc";
    ASSERT_TRUE(HttpSendRequestW(request, nullptr, 0, body, 3)) << GetLastError();
    EXPECT_EQ(statusOf(request), 200u);
    EXPECT_EQ(readAll(request, 100), "via proxy");
  }
  Handle request(open(connection, "POST", "/streamed"));
  ASSERT_TRUE(setText(request, INTERNET_OPTION_PROXY_USERNAME, drav_test::kProxyUser));
  ASSERT_TRUE(setText(request, INTERNET_OPTION_PROXY_PASSWORD, drav_test::kProxyPassword));
  const std::string body = patternText(100000);
  // The connection already learned that the proxy wants Basic, so no
  // challenge comes back. A kept-alive connection the proxy closed while the
  // body went out ends as a lost request (the proxy may have passed it on),
  // never in a silent second sending: this caller knows its body is harmless
  // and sends it again.
  BOOL sent = FALSE;
  for (int attempt = 0; attempt < 2 && !sent; ++attempt) {
    ASSERT_TRUE(startStreamed(request, static_cast<DWORD>(body.size())));
    if (!writeAll(request, body, 65536)) continue;
    sent = HttpEndRequestW(request, nullptr, 0, 0);
    if (!sent) {
      const DWORD lost = GetLastError();
      ASSERT_TRUE(lost == ERROR_INTERNET_CONNECTION_ABORTED || lost == ERROR_INTERNET_CONNECTION_RESET) << lost;
    }
  }
  ASSERT_TRUE(sent) << GetLastError();
  EXPECT_EQ(statusOf(request), 200u);
  EXPECT_EQ(server->requests().back().bodyCrc, drav_test::crcOf(body));
}

// HTTPS through the proxy goes through a tunnel; the caller sees the
// server's answer alone, never the proxy's answer to opening the tunnel.
TEST_F(ThroughProxy, HttpsGoesThroughATunnelWhoseOpeningTheCallerNeverSees) {
  if (dravtest::runningUnderWine()) GTEST_SKIP() << "the peers of the Wine run are not set up for tunnels";
  std::unique_ptr<drav_test::ScriptedServer> tlsServer = drav_test::openTlsTestServer();
  if (!tlsServer) GTEST_SKIP() << "no HTTPS test server";
  Reply reply;
  reply.body = "secret";
  reply.header("X-From", "server");
  tlsServer->setDefaultReply(reply);
  Handle tunnelled(InternetConnectW(proxied, wide(tlsServer->host()).c_str(), tlsServer->port(), nullptr, nullptr,
                                    INTERNET_SERVICE_HTTP, 0, 0));
  Handle request(open(tunnelled, "GET", "/secure", INTERNET_FLAG_SECURE));
  ASSERT_TRUE(setNumber(request, INTERNET_OPTION_SECURITY_FLAGS, kLenientFlags));
  ASSERT_TRUE(setText(request, INTERNET_OPTION_PROXY_USERNAME, drav_test::kProxyUser));
  ASSERT_TRUE(setText(request, INTERNET_OPTION_PROXY_PASSWORD, drav_test::kProxyPassword));
  ASSERT_TRUE(HttpSendRequestW(request, nullptr, 0, nullptr, 0)) << GetLastError();
  EXPECT_EQ(statusOf(request), 200u);
  WCHAR text[1024];
  DWORD size = sizeof text;
  ASSERT_TRUE(HttpQueryInfoW(request, HTTP_QUERY_RAW_HEADERS_CRLF, text, &size, nullptr)) << GetLastError();
  const std::string raw = narrow(text, size / sizeof(WCHAR));
  EXPECT_EQ(raw.compare(0, 17, "HTTP/1.1 200 OK\r\n"), 0) << raw;
  EXPECT_NE(raw.find("\r\nX-From: server\r\n"), std::string::npos) << raw;
  EXPECT_EQ(raw.find("HTTP/1.", 1), std::string::npos) << "one status line: " << raw;
  EXPECT_EQ(readAll(request, 100), "secret");
  EXPECT_EQ(tlsServer->requests().size(), 1u);
}

TEST_F(ThroughProxy, AStreamedBodyMeetingAProxyChallengeIsSentAgain) {
  if (dravtest::runningUnderWine())
    GTEST_SKIP() << "Wine's HttpEndRequestW hands the 407 back instead of ERROR_INTERNET_FORCE_RETRY";
  Handle request(open(connection, "POST", "/streamed"));
  ASSERT_TRUE(setText(request, INTERNET_OPTION_PROXY_USERNAME, drav_test::kProxyUser));
  ASSERT_TRUE(setText(request, INTERNET_OPTION_PROXY_PASSWORD, drav_test::kProxyPassword));
  ASSERT_TRUE(startStreamed(request, 5));
  ASSERT_TRUE(writeAll(request, "12345", 5));
  EXPECT_FALSE(HttpEndRequestW(request, nullptr, 0, 0));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INTERNET_FORCE_RETRY));
  ASSERT_TRUE(startStreamed(request, 5));
  ASSERT_TRUE(writeAll(request, "12345", 5));
  ASSERT_TRUE(HttpEndRequestW(request, nullptr, 0, 0)) << GetLastError();
  EXPECT_EQ(statusOf(request), 200u);
  EXPECT_EQ(server->requests().back().body, "12345");
}

}  // namespace
}  // namespace wininet_test
