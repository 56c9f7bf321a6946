// Attacks on the host's authentication from clients on 127.0.0.1 and
// 127.0.0.2: guessing passwords, malformed Basic credentials, piling up
// logons, and sessions that should have ended.
#include "host_test_support.h"

#include "support/tls_test_certificate.h"

#include <gtest/gtest.h>

#include <regex>
#include <thread>

namespace hosttest {
namespace {

std::string authorization(const std::string& credentials) { return "Authorization: " + credentials + "\r\n"; }

std::string emptyArgs() { return encodeArgs(DRAVArgs()); }

DRAVHost::HostSettings annOnly() {
  auto settings = testSettings();
  settings.user = "ann";
  settings.password = "s3cret";
  return settings;
}

TEST(HostAuthAttack, BasicCredentialsMustBeExactBase64) {
  auto settings = annOnly();
  settings.auth.freeFailures = 100;
  SampleHost host(settings);
  RawClient client(host.port());
  // "YW5uOnMzY3JldA==" is ann:s3cret.
  for (const char* refused : {"Basic YW5uOnMzY3JldA==garbage", "Basic YW5uOnMzY3JldA== x", "Basic YW5uOnMzY3JldA",
                              "Basic YW5uOnMzY3JldA=", "Basic YW5uOnMzY3JldA===", "Basic YW5uOnMzY3JldB==",
                              "Basic YW5uOnMz Y3JldA==", "Basic YW5uOnMzY3J=ldA==", "Basic YW5uOnMzY3JldA==YW5u",
                              "Basic YW5u-nMzY3JldA==", "Basic", "BasicYW5uOnMzY3JldA==", "Basic YW5u"}) {
    SCOPED_TRACE(refused);
    client.send(callRequest("echo", emptyArgs(), 0, authorization(refused)));
    EXPECT_EQ(401, client.readReply().status);
  }
  for (const char* accepted : {"Basic YW5uOnMzY3JldA==", "basic   YW5uOnMzY3JldA==", "BASIC YW5uOnMzY3JldA==  "}) {
    SCOPED_TRACE(accepted);
    client.send(callRequest("echo", emptyArgs(), 0, authorization(accepted)));
    EXPECT_EQ(200, client.readReply().status);
  }
}

TEST(HostAuthAttack, ABurstOfWrongPasswordsLocksThatAddressOut) {
  // Five free failures, then a lockout long enough that 200 connections made
  // under a sanitizer on a loaded machine all fall inside it.
  auto settings = annOnly();
  settings.auth.firstLockout = std::chrono::minutes(1);
  SampleHost host(settings);
  RawClient guesser(host.port());
  for (int i = 0; i < 5; ++i) {
    guesser.send(callRequest("echo", emptyArgs(), 0, basicAuthorization("ann", "guess" + std::to_string(i))));
    ASSERT_EQ(401, guesser.readReply().status) << i;
  }
  // Even the right password is not looked at now, on any connection from there.
  int locked = 0;
  for (int i = 0; i < 200; ++i) {
    RawClient again(host.port());
    again.send(callRequest("echo", emptyArgs(), 0, basicAuthorization("ann", i == 0 ? "s3cret" : "guess")));
    const HttpReply reply = again.readReply();
    if (reply.status != 429) break;
    ++locked;
    if (i == 0) {
      EXPECT_EQ("60", reply.header("Retry-After"));
      EXPECT_EQ("too many failed logons from this address: try again in 60 s\n", reply.body);
    }
  }
  EXPECT_EQ(200, locked);
  // Another client is neither locked out nor counted with the guesser.
  RawClient other(host.port(), "127.0.0.2");
  other.send(callRequest("echo", emptyArgs(), 0, basicAuthorization("ann", "typo")));
  EXPECT_EQ(401, other.readReply().status);
  other.send(callRequest("echo", emptyArgs(), 0, basicAuthorization("ann", "s3cret")));
  EXPECT_EQ(200, other.readReply().status);
  // A call without credentials is asked for them, not counted as a failure,
  // and learns nothing of the bridge served there.
  for (int i = 0; i < 10; ++i) {
    std::string anonymous = callRequest("echo", emptyArgs());
    if (i % 2) anonymous.replace(anonymous.find("DRAVBridgeName: sample"), 22, "DRAVBridgeName: other");
    other.send(anonymous);
    const HttpReply reply = other.readReply();
    EXPECT_EQ(401, reply.status);
    EXPECT_EQ(std::string::npos, reply.body.find("sample")) << reply.body;
  }
  other.send(callRequest("echo", emptyArgs(), 0, basicAuthorization("ann", "s3cret")));
  EXPECT_EQ(200, other.readReply().status);
}

// What a trusted proxy on 127.0.0.1 adds to a request from `client`.
std::string forwardedFor(const std::string& client) { return "X-Forwarded-For: " + client + "\r\n"; }

TEST(HostAuthAttack, BehindATrustedProxyAGuesserLocksOutOnlyItself) {
  auto settings = annOnly();
  settings.trustedProxies = {"127.0.0.1"};
  settings.auth.firstLockout = std::chrono::minutes(1);
  SampleHost host(settings);
  RawClient proxy(host.port());
  const auto call = [&](const std::string& forwarded, const std::string& password) {
    proxy.send(callRequest("echo", emptyArgs(), 0, forwarded + basicAuthorization("ann", password)));
    return proxy.readReply().status;
  };
  for (int i = 0; i < 5; ++i) ASSERT_EQ(401, call(forwardedFor("192.0.2.1"), "guess")) << i;
  EXPECT_EQ(429, call(forwardedFor("192.0.2.1"), "s3cret"));
  // Every other client behind the proxy logs on, and the proxy's own address too.
  EXPECT_EQ(200, call(forwardedFor("192.0.2.2"), "s3cret"));
  EXPECT_EQ(200, call("", "s3cret"));
  // An address the guesser writes in front of the proxy's is not who it is.
  EXPECT_EQ(429, call(forwardedFor("192.0.2.3, 192.0.2.1"), "s3cret"));
  EXPECT_EQ(429, call(forwardedFor("192.0.2.3") + forwardedFor("192.0.2.1"), "s3cret"));
  // New user names buy a client no more than four names' worth of guesses.
  int looked = 0;
  for (int i = 0; i < 30; ++i) {
    proxy.send(callRequest("echo", emptyArgs(), 0,
                           forwardedFor("192.0.2.4") + basicAuthorization("user" + std::to_string(i), "guess")));
    looked += proxy.readReply().status == 401;
  }
  EXPECT_EQ(20, looked);
  EXPECT_EQ(429, call(forwardedFor("192.0.2.4"), "s3cret"));
  EXPECT_EQ(200, call(forwardedFor("192.0.2.5"), "s3cret"));
}

TEST(HostAuthAttack, AProxyNamedInItsIpv4MappedFormIsTrustedAsWell) {
  // The operator may copy the proxy's address as a dual-stack socket shows it.
  auto settings = annOnly();
  settings.trustedProxies = {"::ffff:127.0.0.1"};
  settings.auth.firstLockout = std::chrono::minutes(1);
  SampleHost host(settings);
  RawClient proxy(host.port());
  const auto call = [&](const std::string& client, const std::string& password) {
    proxy.send(callRequest("echo", emptyArgs(), 0, forwardedFor(client) + basicAuthorization("ann", password)));
    return proxy.readReply().status;
  };
  for (int i = 0; i < 5; ++i) ASSERT_EQ(401, call("192.0.2.1", "guess")) << i;
  EXPECT_EQ(429, call("192.0.2.1", "s3cret"));
  EXPECT_EQ(200, call("192.0.2.2", "s3cret")) << "one guesser behind the proxy locked out every client";
}

TEST(HostAuthAttack, AFewClientsRotatingUserNamesDoNotFlushAGuessersLockout) {
  // Room for 40 counts: a guesser locked out as a whole, then three other
  // addresses of the same attacker each failing under 20 user names.
  auto settings = annOnly();
  settings.auth.trackedClients = 40;
  settings.auth.firstLockout = std::chrono::minutes(1);
  SampleHost host(settings);
  const auto guess = [&](RawClient& client, const std::string& user) {
    client.send(callRequest("echo", emptyArgs(), 0, basicAuthorization(user, "guess")));
    return client.readReply().status;
  };
  RawClient guesser(host.port(), "127.0.0.2");
  for (int i = 0; i < 5; ++i) ASSERT_EQ(401, guess(guesser, "ann")) << i;
  for (int i = 0; i < 15; ++i) ASSERT_EQ(401, guess(guesser, "name" + std::to_string(i))) << i;
  ASSERT_EQ(429, guess(guesser, "ann"));
  for (const char* from : {"127.0.0.3", "127.0.0.4", "127.0.0.5"}) {
    RawClient flusher(host.port(), from);
    for (int i = 0; i < 20; ++i) ASSERT_EQ(401, guess(flusher, "other" + std::to_string(i))) << from << " " << i;
  }
  EXPECT_EQ(429, guess(guesser, "ann")) << "four addresses bought the guesser a fresh round of guesses";
}

TEST(HostAuthAttack, GoodCallsOfOthersForgiveAGuesserNothing) {
  auto settings = annOnly();
  settings.sso.enabled = true;
  settings.sso.path = "/logon";
  settings.sso.user = "sam";
  settings.sso.password = "pw";
  settings.trustedProxies = {"127.0.0.1"};
  settings.auth.firstLockout = std::chrono::minutes(1);
  SampleHost host(settings);
  RawClient proxy(host.port());
  // 40 wrong guesses at ann's password, each followed by a good logon of sam
  // from the same client and a good call of ann from another one.
  int looked = 0;
  for (int i = 0; i < 40; ++i) {
    proxy.send(callRequest("echo", emptyArgs(), 0, forwardedFor("192.0.2.1") + basicAuthorization("ann", "guess")));
    const int guessed = proxy.readReply().status;
    ASSERT_TRUE(guessed == 401 || guessed == 429) << guessed;
    looked += guessed == 401;
    proxy.send("GET /logon HTTP/1.1\r\nHost: h\r\nCookie: SMCHALLENGE=YES\r\n" + forwardedFor("192.0.2.1") +
               basicAuthorization("sam", "pw") + "\r\n");
    ASSERT_EQ(200, proxy.readReply().status) << i;
    proxy.send(callRequest("echo", emptyArgs(), 0, forwardedFor("192.0.2.2") + basicAuthorization("ann", "s3cret")));
    ASSERT_EQ(200, proxy.readReply().status) << i;
  }
  EXPECT_EQ(5, looked);
}

class HostSsoAttack : public ::testing::Test {
protected:
  // The Set-Cookie of a successful logon.
  static std::string logon(RawClient& client) {
    client.send("GET /logon HTTP/1.1\r\nHost: h\r\nCookie: SMCHALLENGE=YES\r\n" + basicAuthorization("sam", "pw") +
                "\r\n");
    const HttpReply reply = client.readReply();
    EXPECT_EQ(200, reply.status);
    return reply.header("Set-Cookie");
  }
  static std::string sessionOf(const std::string& setCookie) { return setCookie.substr(0, setCookie.find(';')); }
  static int call(RawClient& client, const std::string& session) {
    client.send(callRequest("echo", emptyArgs(), 0, "Cookie: " + session + "\r\n"));
    return client.readReply().status;
  }
};

TEST_F(HostSsoAttack, WrongLogonsLockThatClientOutOfTheLogonButNotOutOfOtherCredentials) {
  auto settings = ssoTestSettings();
  settings.user = "ann";
  settings.password = "s3cret";
  settings.auth.freeFailures = 2;
  settings.auth.firstLockout = std::chrono::seconds(30);
  SampleHost host(settings);
  RawClient client(host.port());
  const std::string challenged = "GET /logon HTTP/1.1\r\nHost: h\r\nCookie: SMCHALLENGE=YES\r\n";
  for (int i = 0; i < 2; ++i) {
    client.send(challenged + basicAuthorization("sam", "guess") + "\r\n");
    EXPECT_EQ(401, client.readReply().status) << i;
  }
  client.send(challenged + basicAuthorization("sam", "pw") + "\r\n");
  const HttpReply locked = client.readReply();
  EXPECT_EQ(429, locked.status);
  EXPECT_EQ("30", locked.header("Retry-After"));
  EXPECT_EQ("", locked.header("Set-Cookie"));
  // The bridges' credentials are another user's: looked at (the session is missing).
  client.send(callRequest("echo", emptyArgs(), 0, basicAuthorization("ann", "s3cret")));
  EXPECT_EQ(403, client.readReply().status);
  RawClient other(host.port(), "127.0.0.2");
  EXPECT_EQ(0u, logon(other).find("SMSESSION="));
}

// The seconds from the issue to the expiry a session cookie's token carries,
// when the whole cookie has the form `attributes` gives.
long tokenLifetime(const std::string& setCookie, const std::string& attributes) {
  std::smatch parts;
  if (!std::regex_match(setCookie, parts,
                        std::regex("SMSESSION=1\\.73616d\\.([0-9]{10})\\.([0-9]{10})\\.[0-9a-f]{64}" + attributes)))
    return -1;
  return std::stol(parts[2]) - std::stol(parts[1]);
}

TEST_F(HostSsoAttack, TheSessionCookieIsHttpOnlyAndEndsWithTheSession) {
  auto settings = ssoTestSettings();
  settings.auth.sessionLifetime = std::chrono::hours(2);
  SampleHost host(settings);
  RawClient client(host.port());
  const std::string cookie = logon(client);
  const long lifetime = tokenLifetime(cookie, "; Path=/; Max-Age=7200; HttpOnly");
  EXPECT_TRUE(lifetime == 7200 || lifetime == 7201) << cookie;

  drav_test::TestCertificate certificate;
  settings.certFile = certificate.certFile();
  settings.keyFile = certificate.keyFile();
  settings.auth.sessionLifetime = std::chrono::milliseconds(1500);  // a part of a second counts as one
  SampleHost tls(settings);
  CurlClient secure;
  secure.trust(certificate.certFile());
  secure.setBasic("sam", "pw");
  const HttpReply reply = secure.get(tls.url("/logon"), {"Cookie: SMCHALLENGE=YES"});
  EXPECT_EQ(200, reply.status);
  const long short_ = tokenLifetime(reply.header("Set-Cookie"), "; Path=/; Max-Age=2; HttpOnly; Secure");
  EXPECT_TRUE(short_ == 2 || short_ == 3) << reply.header("Set-Cookie");
}

// A chunked logon whose head carries nothing and whose trailer carries the
// challenge cookie and the right credentials: the trailer counts for nothing.
TEST_F(HostSsoAttack, ALogonWithCredentialsOnlyInTheTrailerIsRefused) {
  SampleHost host(ssoTestSettings());
  RawClient client(host.port());
  const std::string head = "GET /logon HTTP/1.1\r\nHost: h\r\nTransfer-Encoding: chunked\r\n";
  const std::string body = "1\r\nx\r\n0\r\n";
  client.send(head + "Cookie: SMCHALLENGE=YES\r\n\r\n" + body + basicAuthorization("sam", "pw") + "\r\n");
  HttpReply reply = client.readReply();
  EXPECT_EQ(401, reply.status);
  EXPECT_EQ("single sign-on: unknown user or wrong password\n", reply.body);
  client.send(head + "\r\n" + body + "Cookie: SMCHALLENGE=YES\r\n" + basicAuthorization("sam", "pw") + "\r\n");
  reply = client.readReply();
  EXPECT_EQ(401, reply.status);
  EXPECT_EQ("SMCHALLENGE=YES; Path=/", reply.header("Set-Cookie"));
  EXPECT_EQ(0u, host.host().ssoSessionCount());
}

// Behind a proxy that ends TLS the host sees plain HTTP: the proxy's word
// marks the cookie Secure, and only a trusted proxy's.
TEST_F(HostSsoAttack, TheSessionCookieIsSecureWhenATrustedProxySaysTheClientCameOverHttps) {
  auto settings = ssoTestSettings();
  settings.trustedProxies = {"127.0.0.1"};
  SampleHost host(settings);
  const auto logonCookie = [&](const char* from, const std::string& fields) {
    RawClient client(host.port(), from);
    client.send("GET /logon HTTP/1.1\r\nHost: h\r\nCookie: SMCHALLENGE=YES\r\n" + fields +
                basicAuthorization("sam", "pw") + "\r\n");
    const HttpReply reply = client.readReply();
    EXPECT_EQ(200, reply.status);
    return reply.header("Set-Cookie");
  };
  const auto secure = [](const std::string& cookie) {
    return cookie.size() >= 8 && cookie.compare(cookie.size() - 8, 8, "; Secure") == 0;
  };
  EXPECT_TRUE(secure(logonCookie("127.0.0.1", "X-Forwarded-Proto: https\r\n")));
  EXPECT_TRUE(secure(logonCookie("127.0.0.1", "X-Forwarded-Proto: http\r\nX-Forwarded-Proto: http, HTTPS\r\n")));
  EXPECT_FALSE(secure(logonCookie("127.0.0.1", "X-Forwarded-Proto: http\r\n")));
  EXPECT_FALSE(secure(logonCookie("127.0.0.1", "")));
  EXPECT_FALSE(secure(logonCookie("127.0.0.2", "X-Forwarded-Proto: https\r\n"))) << "not a trusted proxy";
}

TEST_F(HostSsoAttack, SessionsEndAtTheirLifetimeHoweverMuchTheyAreUsed) {
  auto settings = ssoTestSettings();
  settings.auth.sessionLifetime = std::chrono::milliseconds(500);  // 0.5 to 1.5 s in whole seconds
  SampleHost host(settings);
  RawClient client(host.port());
  const std::string used = sessionOf(logon(client));
  EXPECT_EQ(200, call(client, used));
  for (int i = 0; i < 16; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    call(client, used);
  }
  EXPECT_EQ(403, call(client, used));
}

TEST_F(HostSsoAttack, ForgedAndForeignSessionsAreRefused) {
  SampleHost host(ssoTestSettings());
  SampleHost other(ssoTestSettings());  // a key of its own
  RawClient client(host.port());
  RawClient stranger(other.port());
  const std::string session = sessionOf(logon(client));
  EXPECT_EQ(403, call(stranger, session));
  // Claims stretched to a later expiry, another user, a copied signature.
  const std::size_t expiryEnd = session.rfind('.');
  std::string later = session;
  later[expiryEnd - 1] = later[expiryEnd - 1] == '9' ? '8' : '9';
  std::string otherUser = session;
  otherUser.replace(otherUser.find("73616d"), 6, "616e6e");
  const std::string strangers = sessionOf(logon(stranger));
  const std::string grafted = session.substr(0, expiryEnd) + strangers.substr(strangers.rfind('.'));
  for (const std::string& forged : {later, otherUser, grafted, session + "0", session.substr(0, session.size() - 1),
                                    "SMSESSION=" + std::string(2000, '1')})
    EXPECT_EQ(403, call(client, forged)) << forged.substr(0, 120);
  EXPECT_EQ(200, call(client, session));
}

TEST_F(HostSsoAttack, ALogonFloodEndsNoSessionAndHoldsNothing) {
  SampleHost host(ssoTestSettings());
  RawClient victim(host.port());
  const std::string kept = sessionOf(logon(victim));
  RawClient flooder(host.port(), "127.0.0.2");
  std::string first, last;
  for (int i = 0; i < 1100; ++i) {
    last = sessionOf(logon(flooder));
    if (i == 0) first = last;
  }
  EXPECT_EQ(200, call(victim, kept));
  EXPECT_EQ(200, call(flooder, last));
  EXPECT_EQ(200, call(flooder, first));
  EXPECT_EQ(1u + 1100u, host.host().ssoSessionCount());
}

}  // namespace
}  // namespace hosttest
