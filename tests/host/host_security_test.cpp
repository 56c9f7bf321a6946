// What the host demands of clients: Basic credentials, HTTPS with the given
// certificate, and the single-sign-on logon with its session cookie.
#include "host_test_support.h"

#include "support/tls_test_certificate.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <memory>
#include <mutex>
#include <thread>

namespace hosttest {
namespace {

std::string emptyArgs() { return encodeArgs(DRAVArgs()); }

// A TCP connection to the host on 127.0.0.1, for a TLS client of the test's
// own; -1 when it cannot be made.
int connectTo(unsigned short port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) return fd;
  if (fd >= 0) ::close(fd);
  return -1;
}

TEST(HostAuth, CallsWithoutTheRightCredentialsGetAChallengeOnTheSameConnection) {
  auto settings = testSettings();
  settings.user = "ann";
  settings.password = "s3cret";
  SampleHost host(settings);
  RawClient client(host.port());
  for (const std::string& credentials :
       {std::string(), basicAuthorization("ann", "wrong"), basicAuthorization("bob", "s3cret"),
        basicAuthorization("ann", "s3cret2"), std::string("Authorization: Bearer x\r\n")}) {
    SCOPED_TRACE(credentials);
    client.send(callRequest("echo", emptyArgs(), 0, credentials));
    const HttpReply reply = client.readReply();
    EXPECT_EQ(401, reply.status);
    EXPECT_EQ("Basic realm=\"dravbridge\"", reply.header("WWW-Authenticate"));
  }
  client.send(callRequest("echo", emptyArgs(), 0, basicAuthorization("ann", "s3cret")));
  EXPECT_EQ(200, client.readReply().status);
  EXPECT_EQ(1u, host.host().statistics().connectionsAccepted);
}

TEST(HostAuth, LibcurlAnswersTheChallengeAndIsServed) {
  auto settings = testSettings();
  settings.user = "ann";
  settings.password = "s3cret";
  SampleHost host(settings);
  CurlClient client;
  const std::string body = emptyArgs();
  EXPECT_EQ(401, client.post(host.url(), callHeaders("echo", body.size()), body).status);
  client.setBasic("ann", "s3cret");
  EXPECT_EQ(200, client.post(host.url(), callHeaders("echo", body.size()), body).status);
}

TEST(HostTls, ServesCallsOverHttpsWithTheGivenCertificate) {
  drav_test::TestCertificate certificate;
  auto settings = testSettings();
  settings.certFile = certificate.certFile();
  settings.keyFile = certificate.keyFile();
  SampleHost host(settings);
  EXPECT_EQ(0u, host.url().find("https://127.0.0.1:"));

  CurlClient client;
  client.trust(certificate.certFile());
  DRAVArgs args;
  args.addArg(std::string("over TLS"));
  const std::string body = encodeArgs(args);
  for (int i = 0; i < 3; ++i) {
    const HttpReply reply = client.post(host.url(), callHeaders("echo", body.size()), body);
    ASSERT_EQ(200, reply.status);
    EXPECT_EQ("over TLS", decodeListAnswer(reply.body).results.getString(0));
  }
  EXPECT_EQ(1u, host.host().statistics().connectionsAccepted);

  // Plain HTTP to the TLS port gets no answer, and the host serves on.
  RawClient plain(host.port());
  plain.send(callRequest("echo", body));
  EXPECT_EQ(0, plain.readReply(2s).status);
  EXPECT_EQ(200, client.post(host.url(), callHeaders("echo", body.size()), body).status);
}

// A TLS client that takes a few bytes of a long streamed answer and then
// resets its connection: the host's write fails on that connection alone
// (no signal ends the process), and bodies and answers of many records go
// through whole over the next connection.
TEST(HostTls, AClientThatResetsMidAnswerEndsOnlyItsOwnConnection) {
  drav_test::TestCertificate certificate;
  auto settings = testSettings();
  settings.certFile = certificate.certFile();
  settings.keyFile = certificate.keyFile();
  SampleHost host(settings);
  {
    const int fd = connectTo(host.port());
    ASSERT_GE(fd, 0);
    SSL_CTX* context = SSL_CTX_new(TLS_client_method());
    SSL* tls = SSL_new(context);
    SSL_set_fd(tls, fd);
    ASSERT_EQ(1, SSL_connect(tls));
    DRAVArgs args;
    args.addArg(32 * 1024 * 1024);
    const std::string call = callRequest("generateBinary", encodeArgs(args), 0, "DRAVStreamingMode: OUT\r\n");
    ASSERT_EQ(static_cast<int>(call.size()), SSL_write(tls, call.data(), static_cast<int>(call.size())));
    char some[4096];
    EXPECT_GT(SSL_read(tls, some, sizeof some), 0);
    const linger reset = {1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    ::close(fd);
    SSL_free(tls);
    SSL_CTX_free(context);
  }
  std::this_thread::sleep_for(200ms);  // the host writes on into the reset
  CurlClient client;
  client.trust(certificate.certFile());
  std::string value(300000, '\0');
  for (std::size_t i = 0; i < value.size(); ++i) value[i] = static_cast<char>(i * 7919 >> 5);
  DRAVArgs args;
  args.addArg(reinterpret_cast<unsigned char*>(&value[0]), static_cast<unsigned long>(value.size()), false);
  const std::string body = encodeArgs(args);
  const HttpReply reply = client.post(host.url(), callHeaders("echo", body.size()), body);
  ASSERT_EQ(200, reply.status);
  const BridgeAnswer answer = decodeListAnswer(reply.body);
  const auto& echoed = answer.results.getBinaryArray(0);
  EXPECT_TRUE(value == std::string(reinterpret_cast<const char*>(echoed.getData()), echoed.getLength()));
}

TEST(HostTls, AClientBeyondTheBoundGets503AfterItsHandshakeAndASilentOneIsCut) {
  drav_test::TestCertificate certificate;
  auto settings = testSettings();
  settings.certFile = certificate.certFile();
  settings.keyFile = certificate.keyFile();
  settings.maxConnections = 1;
  settings.idleTimeout = 20s;  // the served connection stays throughout
  settings.retryAfterSeconds = 3;
  SampleHost host(settings);
  const std::string body = emptyArgs();
  auto served = std::make_unique<CurlClient>();
  served->trust(certificate.certFile());
  ASSERT_EQ(200, served->post(host.url(), callHeaders("echo", body.size()), body).status);

  CurlClient refused;
  refused.trust(certificate.certFile());
  for (int i = 0; i < 2; ++i) {
    const HttpReply reply = refused.post(host.url(), callHeaders("echo", body.size()), body);
    EXPECT_EQ(503, reply.status);
    EXPECT_EQ("3", reply.header("Retry-After"));
    EXPECT_EQ("close", reply.header("Connection"));
    EXPECT_EQ("the host serves no more connections now\n", reply.body);
  }
  EXPECT_EQ(2u, host.host().statistics().connectionsRefused);
  EXPECT_EQ(1u, host.host().statistics().activeConnections);

  // Those that never begin their handshake are cut at the refusal's
  // deadline; while more of them are under way than the host refuses at
  // once, the next client waits to be accepted, and is still answered.
  const auto start = std::chrono::steady_clock::now();
  std::vector<std::unique_ptr<RawClient>> silent;
  for (int i = 0; i < 40; ++i) silent.push_back(std::make_unique<RawClient>(host.port()));
  const HttpReply late = refused.post(host.url(), callHeaders("echo", body.size()), body);
  EXPECT_EQ(503, late.status);
  EXPECT_GE(std::chrono::steady_clock::now() - start, 1500ms) << "it waited for a refusal to end";
  for (auto& client : silent) EXPECT_TRUE(client->closedByPeer(4s));
  EXPECT_LT(std::chrono::steady_clock::now() - start, 6s);

  EXPECT_EQ(43u, host.host().statistics().connectionsRefused);
  served.reset();  // frees the place
  for (int i = 0; i < 100 && host.host().statistics().activeConnections > 0; ++i) std::this_thread::sleep_for(20ms);
  EXPECT_EQ(200, refused.post(host.url(), callHeaders("echo", body.size()), body).status);
}

// Over TLS the body read ahead comes through the TLS layer's own reads: one
// that stalls is cut as over plain HTTP, with a 408, not run as a body that
// ended short.
TEST(HostTls, AStalledBodyGets408) {
  drav_test::TestCertificate certificate;
  auto settings = testSettings();
  settings.certFile = certificate.certFile();
  settings.keyFile = certificate.keyFile();
  settings.transferGrace = 300ms;
  SampleHost host(settings);
  const int fd = connectTo(host.port());
  ASSERT_GE(fd, 0);
  const timeval wait = {5, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
  std::unique_ptr<SSL_CTX, void (*)(SSL_CTX*)> context(SSL_CTX_new(TLS_client_method()), SSL_CTX_free);
  std::unique_ptr<SSL, void (*)(SSL*)> tls(SSL_new(context.get()), SSL_free);
  SSL_set_fd(tls.get(), fd);
  ASSERT_EQ(1, SSL_connect(tls.get()));
  const std::string call = callRequest("echo", std::string(100, 'a'));
  const std::string part = call.substr(0, call.find("\r\n\r\n") + 4 + 40);
  ASSERT_EQ(static_cast<int>(part.size()), SSL_write(tls.get(), part.data(), static_cast<int>(part.size())));
  std::string reply;
  char piece[4096];
  for (int n; reply.find("in time\n") == std::string::npos && (n = SSL_read(tls.get(), piece, sizeof piece)) > 0;)
    reply.append(piece, static_cast<std::size_t>(n));
  ::close(fd);
  EXPECT_EQ(0u, reply.find("HTTP/1.1 408 ")) << reply;
  EXPECT_NE(std::string::npos, reply.find("\r\n\r\nthe request body did not arrive in time\n")) << reply;
}

TEST(HostTls, AnUnusableCertificateOrKeyStopsTheStart) {
  drav_test::TestCertificate certificate;
  const struct {
    std::string cert, key;
    const char* says;
  } cases[] = {
      {"/nonexistent/cert.pem", certificate.keyFile(), "cannot use the certificate /nonexistent/cert.pem"},
      {certificate.certFile(), certificate.certFile(), "cannot use the key"},
      {certificate.certFile(), "", "needs both a certificate and a key"},
  };
  for (const auto& c : cases) {
    auto settings = testSettings();
    settings.certFile = c.cert;
    settings.keyFile = c.key;
    DRAVHost::BridgeHost host(settings);
    try {
      host.start();
      ADD_FAILURE() << "started with " << c.cert << " and " << c.key;
    } catch (const std::runtime_error& e) {
      EXPECT_NE(std::string::npos, std::string(e.what()).find(c.says)) << e.what();
    }
  }
}

TEST(HostStart, AnAddressThatCannotBeUsedStopsTheStart) {
  SampleHost first;
  auto settings = testSettings();
  settings.port = first.port();
  DRAVHost::BridgeHost taken(settings);
  EXPECT_THROW(taken.start(), std::runtime_error);
  settings.port = 0;
  settings.address = "not-an-address";
  DRAVHost::BridgeHost unnamed(settings);
  EXPECT_THROW(unnamed.start(), std::runtime_error);
}

// Whoever made the settings (a file, options, a program of its own), the host
// does not start on ones that would let anyone in or serve no call.
TEST(HostStart, SettingsThatFailOpenOrServeNoCallStopTheStart) {
  const auto refusal = [](void (*change)(DRAVHost::HostSettings&)) -> std::string {
    auto settings = testSettings();
    change(settings);
    try {
      DRAVHost::BridgeHost host(settings);
    } catch (const std::invalid_argument& e) {
      return e.what();
    }
    return "started";
  };
  const std::string basic = "Basic authentication needs both a user and a password";
  EXPECT_EQ(basic, refusal([](DRAVHost::HostSettings& s) { s.user = "u"; }));
  EXPECT_EQ(basic, refusal([](DRAVHost::HostSettings& s) { s.password = "p"; }));
  const std::string logon = "the single-sign-on logon needs both a user and a password";
  EXPECT_EQ(logon, refusal([](DRAVHost::HostSettings& s) { s.sso.user = "op"; }));
  EXPECT_EQ(logon, refusal([](DRAVHost::HostSettings& s) { s.sso.password = "p"; }));
  EXPECT_EQ(logon, refusal([](DRAVHost::HostSettings& s) { s.sso.enabled = true; }));
  EXPECT_EQ("the logon path \"/log on\" holds a blank, which a request cannot carry (write it as %20)",
            refusal([](DRAVHost::HostSettings& s) {
              s.sso = DRAVHost::SsoLogonSettings{true, "/log on", "op", "pw", false};
            }));
  EXPECT_EQ("the memory one call may take (65537 bytes) is above what all calls may take together (65536 bytes): "
            "no call could run",
            refusal([](DRAVHost::HostSettings& s) {
              s.callMemoryBudget = 65537;
              s.memoryBudget = 65536;
            }));
  EXPECT_EQ("started", refusal([](DRAVHost::HostSettings& s) {
              s.user = s.password = s.sso.user = s.sso.password = "x";
              s.callMemoryBudget = s.memoryBudget;
            }));

  DRAVHost::BridgeHost host(testSettings());
  const auto bridge = std::make_shared<HoldingBridge>();
  EXPECT_THROW(host.addBridge("/b?x", bridge), std::logic_error);
  try {
    host.addBridge("/c d", bridge);
    FAIL() << "a path with a blank was taken";
  } catch (const std::logic_error& e) {
    EXPECT_EQ("the bridge path \"/c d\" holds a blank, which a request cannot carry (write it as %20)",
              std::string(e.what()));
  }
  EXPECT_NO_THROW(host.addBridge("/c%20d", bridge));
}

// The host ends a "Connection: close" exchange first, so its side of it
// waits out TIME_WAIT; a host restarted on the port must not be refused.
TEST(HostStart, AHostRestartsAtOnceOnThePortItJustServedOn) {
  auto settings = testSettings();
  {
    DRAVHost::BridgeHost first(settings);
    first.addBridge(kSamplePath, std::make_shared<DRAVHost::SampleBridge>());
    first.start();
    settings.port = first.port();
    RawClient client(first.port());
    client.send(callRequest("echo", emptyArgs(), 0, "Connection: close\r\n"));
    EXPECT_EQ(200, client.readReply().status);
    EXPECT_TRUE(client.closedByPeer(2s));
  }
  DRAVHost::BridgeHost second(settings);
  EXPECT_NO_THROW(second.start());
  EXPECT_EQ(settings.port, second.port());
}

class HostSso : public ::testing::Test {
protected:
  std::string logon(const std::string& headers) {
    client_.send("GET /logon HTTP/1.1\r\nHost: h\r\n" + headers + "\r\n");
    reply_ = client_.readReply();
    return reply_.header("Set-Cookie");
  }

  SampleHost host_{ssoTestSettings()};
  RawClient client_{host_.port()};
  HttpReply reply_;
};

TEST_F(HostSso, TheLogonNeedsTheChallengeCookieAndTheCredentials) {
  EXPECT_EQ("SMCHALLENGE=YES; Path=/", logon(basicAuthorization("sam", "pw")));
  EXPECT_EQ(401, reply_.status);
  EXPECT_EQ("", logon("Cookie: SMCHALLENGE=YES\r\n" + basicAuthorization("sam", "nope")));
  EXPECT_EQ(401, reply_.status);
  EXPECT_EQ("Basic realm=\"dravbridge\"", reply_.header("WWW-Authenticate"));
  const std::string cookie = logon("Cookie: other=1; SMCHALLENGE=YES\r\n" + basicAuthorization("sam", "pw"));
  EXPECT_EQ(200, reply_.status);
  EXPECT_EQ(0u, cookie.find("SMSESSION=")) << cookie;
  EXPECT_EQ(1u, host_.host().ssoSessionCount());
  client_.send("POST /logon HTTP/1.1\r\nHost: h\r\nContent-Length: 0\r\n\r\n");
  EXPECT_EQ(405, client_.readReply().status);
}

TEST_F(HostSso, BridgeCallsNeedASessionTheLogonIssued) {
  client_.send(callRequest("echo", emptyArgs()));
  HttpReply refused = client_.readReply();
  EXPECT_EQ(403, refused.status);
  EXPECT_NE(std::string::npos, refused.body.find("log on at /logon")) << refused.body;
  client_.send(callRequest("echo", emptyArgs(), 0, "Cookie: SMSESSION=made-up\r\n"));
  EXPECT_EQ(403, client_.readReply().status);

  const std::string cookie = logon("Cookie: SMCHALLENGE=YES\r\n" + basicAuthorization("sam", "pw"));
  const std::string session = cookie.substr(0, cookie.find(';'));
  client_.send(callRequest("echo", emptyArgs(), 0, "Cookie: SMCHALLENGE=YES; " + session + "\r\n"));
  EXPECT_EQ(200, client_.readReply().status);
}

// Keeps what the host told the bridge of the latest call.
class RecordingBridge : public DRAVHost::BridgeHandler {
public:
  void serve(const DRAVHost::BridgeCall& call, IDispatch*, IDispatch*) override {
    std::lock_guard<std::mutex> lock(mutex_);
    latest_ = call;
  }
  DRAVHost::BridgeCall latest() {
    std::lock_guard<std::mutex> lock(mutex_);
    return latest_;
  }

private:
  std::mutex mutex_;
  DRAVHost::BridgeCall latest_;
};

TEST(HostSsoBridge, TheBridgeLearnsTheCheckedUserAndSession) {
  auto settings = ssoTestSettings();
  settings.user = "ann";
  settings.password = "s3cret";
  DRAVHost::BridgeHost host(settings);
  auto recording = std::make_shared<RecordingBridge>();
  host.addBridge("/seen", recording);
  host.start();
  RawClient client(host.port());
  client.send("GET /logon HTTP/1.1\r\nHost: h\r\nCookie: SMCHALLENGE=YES\r\n" + basicAuthorization("sam", "pw") +
              "\r\n");
  const HttpReply logon = client.readReply();
  ASSERT_EQ(200, logon.status);
  const std::string cookie = logon.header("Set-Cookie");
  const std::string session = cookie.substr(0, cookie.find(';'));
  ASSERT_EQ(0u, session.find("SMSESSION="));
  const std::string headers = "Cookie: a=1; " + session + "\r\n" + basicAuthorization("ann", "s3cret");
  client.send(callRequest("echo", emptyArgs(), 0, headers, "/seen"));
  ASSERT_EQ(200, client.readReply().status);
  const DRAVHost::BridgeCall call = recording->latest();
  EXPECT_EQ("ann", call.user);
  EXPECT_EQ(session.substr(10), call.ssoSession);
  EXPECT_EQ("a=1; " + session, call.cookies);
}

}  // namespace
}  // namespace hosttest
