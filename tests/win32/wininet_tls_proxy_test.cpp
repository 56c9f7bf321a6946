// HTTPS with certificates made at test time, and a real HTTP proxy
// (tinyproxy) with Basic proxy authentication.
#include "wininet_fixture.h"

#include "support/proxy_test_tinyproxy.h"
#include "support/tls_test_certificate.h"

#ifndef _WIN32
#include "support/raw_peer.h"

#include <poll.h>
#include <sys/socket.h>
#endif

#include <chrono>
#include <mutex>

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


#ifndef _WIN32
// A proxy that will not open a tunnel answers for the request, as it does
// for a plain one: the caller reads its status (nothing reached the server,
// so it is no lost request), and the scheme a 407 offered goes with the
// credentials on the next opening. A cookie of the proxy is not the
// server's.
TEST(RefusedTunnels, TheProxysAnswerIsTheRequestsAnswer) {
  using drav_test::RawPeer;
  std::mutex mutex;
  std::vector<std::string> openings;
  RawPeer proxy([&](int socket, unsigned) {
    for (std::string request; !(request = RawPeer::readRequest(socket)).empty();) {
      std::lock_guard<std::mutex> lock(mutex);
      openings.push_back(request);
      const bool first = openings.size() == 1;
      RawPeer::sendAll(socket, first ? std::string("HTTP/1.1 407 Who\r\nProxy-Authenticate: Basic realm=\"p\"\r\n"
                                                    "Set-Cookie: proxied=1\r\nContent-Length: 4\r\n\r\nwho?")
                                      : "HTTP/1.1 502 Bad Gateway\r\nContent-Length: 0\r\n\r\n");
    }
  });
  Handle session(InternetOpenW(DRAV_W("wininet-test"), INTERNET_OPEN_TYPE_PROXY,
                               wide("127.0.0.1:" + std::to_string(proxy.port())).c_str(), nullptr, 0));
  Handle connection(InternetConnectW(session, DRAV_W("127.0.0.1"), 1, nullptr, nullptr, INTERNET_SERVICE_HTTP, 0, 0));
  for (DWORD expected : {407u, 502u}) {
    Handle request(HttpOpenRequestW(connection, DRAV_W("POST"), DRAV_W("/call"), nullptr, nullptr, nullptr,
                                    INTERNET_FLAG_SECURE | INTERNET_FLAG_KEEP_CONNECTION, 0));
    if (expected == 502u) {
      ASSERT_TRUE(setText(request, INTERNET_OPTION_PROXY_USERNAME, "user"));
      ASSERT_TRUE(setText(request, INTERNET_OPTION_PROXY_PASSWORD, "secret"));
    }
    ASSERT_TRUE(HttpSendRequestW(request, nullptr, 0, const_cast<char*>("abc"), 3)) << GetLastError();
    EXPECT_EQ(statusOf(request), expected);
    bool ok = false;
    readAll(request, 100, &ok);
    EXPECT_TRUE(ok) << expected;
  }
  std::lock_guard<std::mutex> lock(mutex);
  ASSERT_EQ(openings.size(), 2u);
  EXPECT_EQ(openings[0].compare(0, 8, "CONNECT "), 0) << openings[0];
  EXPECT_EQ(openings[0].find("Proxy-Authorization"), std::string::npos) << "no scheme known yet";
  EXPECT_NE(openings[1].find("Proxy-Authorization: Basic dXNlcjpzZWNyZXQ="), std::string::npos) << openings[1];
  EXPECT_EQ(openings[1].find("proxied=1"), std::string::npos);
}

// A peer that takes the connection and then says nothing holds the request
// no longer than the connect time-out, whether it was to answer a TLS
// handshake or a proxy's tunnel opening.
TEST(StalledPeers, TheConnectTimeOutBoundsATlsHandshakeAndATunnelOpening) {
  using drav_test::RawPeer;
  RawPeer silent([](int socket, unsigned) {
    pollfd closed{socket, POLLIN, 0};
    for (int i = 0; i < 2 && ::poll(&closed, 1, 3000) > 0; ++i) {
      char bytes[4096];
      if (::recv(socket, bytes, sizeof bytes, 0) <= 0) return;  // the client gave up
    }
  });
  const std::string address = "127.0.0.1:" + std::to_string(silent.port());
  for (bool throughProxy : {false, true}) {
    Handle session(throughProxy ? InternetOpenW(DRAV_W("wininet-test"), INTERNET_OPEN_TYPE_PROXY,
                                                wide(address).c_str(), nullptr, 0)
                                : InternetOpenW(DRAV_W("wininet-test"), INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0));
    Handle connection(InternetConnectW(session, DRAV_W("127.0.0.1"), throughProxy ? 1 : silent.port(), nullptr,
                                       nullptr, INTERNET_SERVICE_HTTP, 0, 0));
    Handle request(HttpOpenRequestW(connection, DRAV_W("POST"), DRAV_W("/call"), nullptr, nullptr, nullptr,
                                    INTERNET_FLAG_SECURE, 0));
    ASSERT_TRUE(setNumber(request, INTERNET_OPTION_CONNECT_TIMEOUT, 300));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(HttpSendRequestW(request, nullptr, 0, const_cast<char*>("abc"), 3));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INTERNET_TIMEOUT)) << throughProxy;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2)) << throughProxy;
  }
}
#endif

}  // namespace
}  // namespace wininet_test
