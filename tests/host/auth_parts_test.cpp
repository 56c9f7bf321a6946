// The parts of the host's authentication on their own, with a clock the test
// moves: strict Basic credentials, the comparison, the failed-logon
// throttle and the signed session tokens.
#include "host/sso/basic_credentials.h"
#include "host/sso/logon_throttle.h"
#include "host/sso/session_token.h"

#include <gtest/gtest.h>

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <fstream>
#include <stdexcept>

namespace {

using namespace std::chrono_literals;
using DRAVHost::ClientKey;

struct FakeClock {
  std::chrono::steady_clock::time_point now = std::chrono::steady_clock::time_point() + 1h;
  DRAVHost::AuthClock source() {
    return [this] { return now; };
  }
};

ClientKey clientNumber(unsigned n) {
  return DRAVHost::clientKeyOf(boost::asio::ip::address_v4(0x0A000000u + n));
}

// Client n trying the bridges' user `user`.
DRAVHost::LogonAttempt attempt(unsigned n, const std::string& user = "ann") {
  return DRAVHost::logonAttempt(clientNumber(n), "bridges", user);
}

TEST(BasicCredentials, DecodeOnlyCanonicalPaddedBase64) {
  EXPECT_EQ("", *DRAVHost::decodeBase64Strictly(""));
  EXPECT_EQ("f", *DRAVHost::decodeBase64Strictly("Zg=="));
  EXPECT_EQ("fo", *DRAVHost::decodeBase64Strictly("Zm8="));
  EXPECT_EQ("foo", *DRAVHost::decodeBase64Strictly("Zm9v"));
  EXPECT_EQ(std::string("\xff\xfe\0", 3), *DRAVHost::decodeBase64Strictly("//4A"));
  EXPECT_EQ("ann:pa:ss", DRAVHost::basicCredentialsOf("Basic YW5uOnBhOnNz")->user + ":" +
                             DRAVHost::basicCredentialsOf("Basic YW5uOnBhOnNz")->password);
  for (const char* refused : {"Zg", "Zg=", "Zg===", "Zh==", "Zm9=", "====", "Zg==Zg==", "Zm9v\n", "Zm 9v", "Zm9v-",
                              "Zm-v", "Z!==", "Zm9\x80"})
    EXPECT_FALSE(DRAVHost::decodeBase64Strictly(refused)) << refused;
  // "Zm9v" is "foo": no colon, so no credentials.
  EXPECT_FALSE(DRAVHost::basicCredentialsOf("Basic Zm9v"));
  EXPECT_FALSE(DRAVHost::basicCredentialsOf("Bearer YW5uOnBhOnNz"));
  const auto empty = DRAVHost::basicCredentialsOf("Basic Og==");  // ":"
  ASSERT_TRUE(empty);
  EXPECT_EQ("", empty->user);
  EXPECT_EQ("", empty->password);
}

TEST(BasicCredentials, TheConstantTimeComparisonIsExact) {
  EXPECT_TRUE(DRAVHost::equalInConstantTime("", ""));
  EXPECT_TRUE(DRAVHost::equalInConstantTime("s3cret", "s3cret"));
  EXPECT_TRUE(DRAVHost::equalInConstantTime(std::string("a\0b", 3), std::string("a\0b", 3)));
  for (const char* other : {"", "s3cre", "s3cret ", "S3cret", "s3creT", "t3cret", "s3cret\x80"})
    EXPECT_FALSE(DRAVHost::equalInConstantTime("s3cret", other)) << other;
  EXPECT_FALSE(DRAVHost::equalInConstantTime(std::string("a\0b", 3), "a"));
  const DRAVHost::BasicCredentials given = *DRAVHost::basicCredentialsOf("Basic YW5uOnMzY3JldA==");
  EXPECT_TRUE(DRAVHost::credentialsMatch(given, "ann", "s3cret"));
  EXPECT_FALSE(DRAVHost::credentialsMatch(given, "ann:s3cret", ""));
  EXPECT_FALSE(DRAVHost::credentialsMatch(given, "an", "n:s3cret"));
  EXPECT_FALSE(DRAVHost::credentialsMatch(given, "ann", "s3cre"));
}

TEST(LogonThrottle, LockoutsDoubleFromTheLastFreeFailureUpToTheLongest) {
  DRAVHost::AuthSettings settings;
  settings.freeFailures = 3;
  settings.firstLockout = 1s;
  settings.longestLockout = 5s;
  FakeClock clock;
  DRAVHost::LogonThrottle throttle(settings, clock.source());
  const DRAVHost::LogonAttempt guesser = attempt(1);
  throttle.failed(guesser);
  throttle.failed(guesser);
  EXPECT_EQ(0ms, throttle.lockedFor(guesser));
  throttle.failed(guesser);
  EXPECT_EQ(1000ms, throttle.lockedFor(guesser));
  clock.now += 999ms;
  EXPECT_EQ(1ms, throttle.lockedFor(guesser));
  EXPECT_EQ(0ms, throttle.lockedFor(attempt(2)));
  clock.now += 1ms;
  EXPECT_EQ(0ms, throttle.lockedFor(guesser));
  for (const auto expected : {2000ms, 4000ms, 5000ms, 5000ms}) {
    throttle.failed(guesser);
    EXPECT_EQ(expected, throttle.lockedFor(guesser));
    clock.now += expected;
  }
  EXPECT_EQ("too many failed logons from this address: try again in 2 s", DRAVHost::lockoutAnswer(1001ms).message);
  EXPECT_EQ("1", DRAVHost::lockoutAnswer(1ms).retryAfter);
  throttle.succeeded(guesser);
  throttle.failed(guesser);
  EXPECT_EQ(0ms, throttle.lockedFor(guesser));

  settings.longestLockout = std::chrono::milliseconds::max();  // a year at most, without overflow
  DRAVHost::LogonThrottle unbounded(settings, clock.source());
  for (int i = 0; i < 100; ++i) unbounded.failed(guesser);
  EXPECT_EQ(std::chrono::milliseconds(24h * 365), unbounded.lockedFor(guesser));
}

TEST(LogonThrottle, FailuresAreForgottenAfterAWhile) {
  DRAVHost::AuthSettings settings;
  settings.freeFailures = 2;
  settings.forgetFailuresAfter = std::chrono::milliseconds::max();
  FakeClock longAgo;
  DRAVHost::LogonThrottle unforgetting(settings, longAgo.source());
  unforgetting.failed(attempt(1));
  longAgo.now += 24h * 365 * 100;
  unforgetting.failed(attempt(1));
  EXPECT_EQ(1000ms, unforgetting.lockedFor(attempt(1)));

  settings.forgetFailuresAfter = 10min;
  FakeClock clock;
  DRAVHost::LogonThrottle throttle(settings, clock.source());
  throttle.failed(attempt(1));
  clock.now += 10min - 1ms;
  throttle.failed(attempt(1));  // the second in a row
  EXPECT_EQ(1000ms, throttle.lockedFor(attempt(1)));
  clock.now += 10min;
  throttle.failed(attempt(1));  // the first again
  EXPECT_EQ(0ms, throttle.lockedFor(attempt(1)));
  EXPECT_EQ(2u, throttle.trackedEntries()) << "the client and its user name";
}

TEST(LogonThrottle, ManyAddressesCannotGrowTheTable) {
  DRAVHost::AuthSettings settings;
  settings.freeFailures = 1;
  settings.trackedClients = 100;
  FakeClock clock;
  DRAVHost::LogonThrottle throttle(settings, clock.source());
  for (unsigned n = 0; n < 10000; ++n) throttle.failed(attempt(n));
  EXPECT_EQ(100u, throttle.trackedEntries());
  EXPECT_EQ(1000ms, throttle.lockedFor(attempt(9950)));  // the latest 50 clients are kept, with their names
  EXPECT_EQ(0ms, throttle.lockedFor(attempt(9949)));
  // IPv6 clients count by their /64.
  const auto v6 = [](const char* text) { return DRAVHost::clientKeyOf(boost::asio::ip::make_address(text)); };
  EXPECT_EQ(v6("2001:db8:1:2::1"), v6("2001:db8:1:2:ffff:ffff:ffff:ffff"));
  EXPECT_NE(v6("2001:db8:1:2::1"), v6("2001:db8:1:3::1"));
  EXPECT_EQ(v6("::ffff:10.0.0.7"), clientNumber(7));
  EXPECT_NE(v6("::ffff:10.0.0.7"), clientNumber(6));
}

TEST(LogonThrottle, ASuccessForgivesOnlyThatClientAndUserName) {
  DRAVHost::AuthSettings settings;
  settings.freeFailures = 3;
  FakeClock clock;
  DRAVHost::LogonThrottle throttle(settings, clock.source());
  for (int i = 0; i < 3; ++i) {
    throttle.failed(attempt(1, "ann"));
    throttle.succeeded(attempt(1, "sam"));   // the same client, another name
    throttle.succeeded(attempt(2, "ann"));   // another client, the same name
    throttle.succeeded(DRAVHost::logonAttempt(clientNumber(1), "logon", "ann"));  // the logon's credentials
  }
  EXPECT_EQ(1000ms, throttle.lockedFor(attempt(1, "ann")));
  // Neither the name nor the client as a whole is locked for the others.
  EXPECT_EQ(0ms, throttle.lockedFor(attempt(1, "sam")));
  EXPECT_EQ(0ms, throttle.lockedFor(attempt(2, "ann")));
  EXPECT_EQ(0ms, throttle.lockedFor(DRAVHost::logonAttempt(clientNumber(1), "logon", "ann")));
  throttle.succeeded(attempt(1, "ann"));
  EXPECT_EQ(0ms, throttle.lockedFor(attempt(1, "ann")));
}

TEST(LogonThrottle, NewUserNamesBuyAClientNoMoreGuesses) {
  DRAVHost::AuthSettings settings;
  settings.freeFailures = 3;
  settings.trackedClients = 100;
  FakeClock clock;
  DRAVHost::LogonThrottle throttle(settings, clock.source());
  const unsigned wholeClient = settings.freeFailures * DRAVHost::LogonThrottle::kUserNamesPerClient;
  for (unsigned i = 0; i + 1 < wholeClient; ++i) {
    throttle.failed(attempt(1, "name" + std::to_string(i)));
    ASSERT_EQ(0ms, throttle.lockedFor(attempt(1, "ann"))) << i;
  }
  throttle.failed(attempt(1, "name"));
  EXPECT_EQ(1000ms, throttle.lockedFor(attempt(1, "ann")));
  EXPECT_EQ(1000ms, throttle.lockedFor(attempt(1, "never tried")));
  EXPECT_EQ(0ms, throttle.lockedFor(attempt(2, "ann")));
  // A success under one name does not lift the client's lockout.
  throttle.succeeded(attempt(1, "ann"));
  EXPECT_EQ(1000ms, throttle.lockedFor(attempt(1, "ann")));
  throttle.failed(attempt(1, "name"));
  EXPECT_EQ(2000ms, throttle.lockedFor(attempt(1, "ann")));
}

constexpr const char* kKey = "0123456789abcdef0123456789abcdef";
constexpr const char* kPayload = "1.73616d.1700000000.1700003601";  // sam, issued, expires

// Token tests: sessions of an hour, the clock at 1700000000.4 s.
struct TokenClock {
  std::chrono::system_clock::time_point now = std::chrono::system_clock::time_point(1700000000s + 400ms);
  DRAVHost::WallClock source() {
    return [this] { return now; };
  }
};

DRAVHost::AuthSettings tokenSettings(const std::string& key) {
  DRAVHost::AuthSettings settings;
  settings.sessionLifetime = 1h;
  settings.sessionKey = key;
  return settings;
}

TEST(SessionTokens, AreTheSignedClaimsAndEveryHostWithTheKeyReadsThem) {
  TokenClock clock;
  DRAVHost::SessionTokens tokens(tokenSettings(kKey), clock.source());
  const std::string token = tokens.issue("sam");
  EXPECT_EQ(std::string(kPayload) + ".7a38d174d5a55f915fe5699ee1fb468ec08655f93ca5e86d97653885fbabea12", token);
  EXPECT_EQ(1u, tokens.issued());
  const DRAVHost::SessionTokens otherHost(tokenSettings(kKey), clock.source());
  const auto claims = otherHost.check(token);
  ASSERT_TRUE(claims);
  EXPECT_EQ("sam", claims->user);
  EXPECT_EQ(1700000000, claims->issued);
  EXPECT_EQ(1700003601, claims->expires);  // issued at .4 s: the hour ends in the next second

  // Valid up to the last moment before the expiry, not at it.
  clock.now = std::chrono::system_clock::time_point(1700003601s - 1ms);
  EXPECT_TRUE(otherHost.check(token));
  clock.now += 1ms;
  EXPECT_FALSE(otherHost.check(token));

  // Issued on a whole second, 1.5 s of lifetime end in the second after.
  auto settings = tokenSettings(kKey);
  settings.sessionLifetime = 1500ms;
  EXPECT_EQ("1.616e6e.1700003601.1700003603.",
            DRAVHost::SessionTokens(settings, clock.source()).issue("ann").substr(0, 31));

  // Lifetimes are cut to 100 years of 366 days, the longest taken as it is.
  settings.sessionLifetime = std::chrono::milliseconds::max();
  EXPECT_EQ("1.616e6e.1700003601.4862243601.",
            DRAVHost::SessionTokens(settings, clock.source()).issue("ann").substr(0, 31));
  settings.sessionLifetime = std::chrono::hours(24 * 366 * 100) - 1s;
  EXPECT_EQ("1.616e6e.1700003601.4862243600.",
            DRAVHost::SessionTokens(settings, clock.source()).issue("ann").substr(0, 31));
}

TEST(SessionTokens, RefuseAnotherKeyAlterationsTruncationAndGarbage) {
  TokenClock clock;
  const DRAVHost::SessionTokens tokens(tokenSettings(kKey), clock.source());
  const std::string token = std::string(kPayload) + ".7a38d174d5a55f915fe5699ee1fb468ec08655f93ca5e86d97653885fbabea12";
  ASSERT_TRUE(tokens.check(token));
  // The same claims signed with another key, and each key's own random one.
  EXPECT_FALSE(tokens.check(std::string(kPayload) +
                            ".1cae5e323a074593c9bace70f95a05284a432561868c8a1b9a66ee16dd4427b5"));
  DRAVHost::SessionTokens randomA(DRAVHost::AuthSettings{}), randomB(DRAVHost::AuthSettings{});
  EXPECT_FALSE(randomB.check(randomA.issue("sam")));

  for (std::size_t at = 0; at < token.size(); ++at) {
    for (int byte = 0; byte < 256; ++byte) {
      if (byte == static_cast<unsigned char>(token[at])) continue;
      std::string altered = token;
      altered[at] = static_cast<char>(byte);
      ASSERT_FALSE(tokens.check(altered)) << at << " " << byte;
    }
    ASSERT_FALSE(tokens.check(token.substr(0, at))) << at;
  }
  std::string upper = token;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  for (const std::string& garbage :
       {std::string(), std::string("."), std::string("1...."), token + ".", token + "0", "." + token, upper,
        std::string(100000, 'a'), token + std::string(2000, '0')})
    EXPECT_FALSE(tokens.check(garbage)) << garbage.substr(0, 80);

  // Rightly signed, but not claims this host writes.
  for (const char* signedText :
       {"2.73616d.1700000000.1700003600.3ca137d7bb15e5885d94f528278bdcadbcddcf036ba13d3d4972e646128ed146",
        "1.7Z616d.1700000000.1700003600.d28f4a9d5234e184f946ec8b1a7d02bffa469ead176f285476ae5a18971b0e1b",
        "1.73616d.-1.1700003600.c0e7b252d8b409693217c92af87e2219ccf205c90d1bf2f72bb2e1e97d76b0d0",
        "1.73616d.1700000000.99999999999999999999.1bb2c056f1a6ebcfc297379186ca0c6cb8f08af42be29d693151a3d21ec9a65a",
        "1.73616d.9999999999999999999.1700003601.d969a174c4c6330c69153bcf1f6a8c749166bc6bc5bf06c76944e39c97b1251b",
        "1.73616d.1700000000.264b069aa44243beced51e75855369601916ebfa90b5a9fc8a58ae4eccd2bd36",
        "1.73616d.1700000000.1700003600.5.a9ca83ccad8793fe7a7f02a63dfc9465e90dc05eb1047aada1dcc0b2a5823178"})
    EXPECT_FALSE(tokens.check(signedText)) << signedText;
}

TEST(SessionTokens, TakeOnlyKeysOfThirtyTwoBytesOrMore) {
  try {
    DRAVHost::SessionTokens tokens(tokenSettings(std::string(31, 'k')));
    FAIL() << "a 31-byte key was taken";
  } catch (const std::invalid_argument& e) {
    EXPECT_STREQ("the session key has 31 bytes; it needs at least 32", e.what());
  }
  EXPECT_NO_THROW(DRAVHost::SessionTokens(tokenSettings(std::string(32, 'k'))));

  char folder[] = "/tmp/drav-key-XXXXXX";
  ASSERT_NE(nullptr, mkdtemp(folder));
  const std::string file = std::string(folder) + "/key";
  const auto refusal = [&](const std::string& content) {
    std::ofstream(file, std::ios::binary) << content;
    chmod(file.c_str(), 0600);
    try {
      return "taken: " + DRAVHost::sessionKeyFromFile(file);
    } catch (const std::runtime_error& e) {
      return std::string(e.what());
    }
  };
  EXPECT_EQ("taken: " + std::string(32, 'k'), refusal(std::string(32, 'k') + "\r\n"));
  EXPECT_EQ("taken: " + std::string(4094, 'k') + "\n", refusal(std::string(4094, 'k') + "\n\n"));
  EXPECT_EQ("the session key in '" + file + "' has 31 bytes; it needs at least 32", refusal(std::string(31, 'k') + "\n"));
  EXPECT_EQ("the session key file '" + file + "' is larger than 4096 bytes", refusal(std::string(4097, 'k')));
  std::remove(file.c_str());
  rmdir(folder);
  EXPECT_THROW(
      try { DRAVHost::sessionKeyFromFile(file); } catch (const std::runtime_error& e) {
        EXPECT_EQ("cannot read the session key file '" + file + "'", std::string(e.what()));
        throw;
      },
      std::runtime_error);
}

}  // namespace
