// The parts of the host's authentication on their own, with a clock the test
// moves: strict Basic credentials, the comparison, the failed-logon
// throttle and the session table.
#include "host/basic_credentials.h"
#include "host/logon_throttle.h"
#include "host/sso_logon.h"

#include <gtest/gtest.h>

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

TEST(BasicCredentials, DecodeOnlyCanonicalPaddedBase64) {
  EXPECT_EQ("", *DRAVHost::decodeBase64Strictly(""));
  EXPECT_EQ("f", *DRAVHost::decodeBase64Strictly("Zg=="));
  EXPECT_EQ("fo", *DRAVHost::decodeBase64Strictly("Zm8="));
  EXPECT_EQ("foo", *DRAVHost::decodeBase64Strictly("Zm9v"));
  EXPECT_EQ(std::string("\xff\xfe\0", 3), *DRAVHost::decodeBase64Strictly("//4A"));
  EXPECT_EQ("ann:pa:ss", DRAVHost::basicCredentialsOf("Basic YW5uOnBhOnNz")->user + ":" +
                             DRAVHost::basicCredentialsOf("Basic YW5uOnBhOnNz")->password);
  for (const char* refused : {"Zg", "Zg=", "Zg===", "Zh==", "Zm9=", "====", "Zg==Zg==", "Zm9v\n", "Zm 9v", "Zm9v-"})
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
  EXPECT_TRUE(DRAVHost::basicCredentialsMatch("Basic YW5uOnMzY3JldA==", "ann", "s3cret"));
  EXPECT_FALSE(DRAVHost::basicCredentialsMatch("Basic YW5uOnMzY3JldA==", "ann:s3cret", ""));
  EXPECT_FALSE(DRAVHost::basicCredentialsMatch("Basic YW5uOnMzY3JldA==", "an", "n:s3cret"));
}

TEST(LogonThrottle, LockoutsDoubleFromTheLastFreeFailureUpToTheLongest) {
  DRAVHost::AuthSettings settings;
  settings.freeFailures = 3;
  settings.firstLockout = 1s;
  settings.longestLockout = 5s;
  FakeClock clock;
  DRAVHost::LogonThrottle throttle(settings, clock.source());
  const ClientKey guesser = clientNumber(1);
  throttle.failed(guesser);
  throttle.failed(guesser);
  EXPECT_EQ(0ms, throttle.lockedFor(guesser));
  throttle.failed(guesser);
  EXPECT_EQ(1000ms, throttle.lockedFor(guesser));
  clock.now += 999ms;
  EXPECT_EQ(1ms, throttle.lockedFor(guesser));
  EXPECT_EQ(0ms, throttle.lockedFor(clientNumber(2)));
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
  unforgetting.failed(clientNumber(1));
  longAgo.now += 24h * 365 * 100;
  unforgetting.failed(clientNumber(1));
  EXPECT_EQ(1000ms, unforgetting.lockedFor(clientNumber(1)));

  settings.forgetFailuresAfter = 10min;
  FakeClock clock;
  DRAVHost::LogonThrottle throttle(settings, clock.source());
  throttle.failed(clientNumber(1));
  clock.now += 10min - 1ms;
  throttle.failed(clientNumber(1));  // the second in a row
  EXPECT_EQ(1000ms, throttle.lockedFor(clientNumber(1)));
  clock.now += 10min;
  throttle.failed(clientNumber(1));  // the first again
  EXPECT_EQ(0ms, throttle.lockedFor(clientNumber(1)));
  EXPECT_EQ(1u, throttle.trackedClients());
}

TEST(LogonThrottle, ManyAddressesCannotGrowTheTable) {
  DRAVHost::AuthSettings settings;
  settings.freeFailures = 1;
  settings.trackedClients = 100;
  FakeClock clock;
  DRAVHost::LogonThrottle throttle(settings, clock.source());
  for (unsigned n = 0; n < 10000; ++n) throttle.failed(clientNumber(n));
  EXPECT_EQ(100u, throttle.trackedClients());
  EXPECT_EQ(1000ms, throttle.lockedFor(clientNumber(9900)));  // the latest 100 are kept
  EXPECT_EQ(0ms, throttle.lockedFor(clientNumber(9899)));
  // IPv6 clients count by their /64.
  const auto v6 = [](const char* text) { return DRAVHost::clientKeyOf(boost::asio::ip::make_address(text)); };
  EXPECT_EQ(v6("2001:db8:1:2::1"), v6("2001:db8:1:2:ffff:ffff:ffff:ffff"));
  EXPECT_NE(v6("2001:db8:1:2::1"), v6("2001:db8:1:3::1"));
  EXPECT_EQ(v6("::ffff:10.0.0.7"), clientNumber(7));
  EXPECT_NE(v6("::ffff:10.0.0.7"), clientNumber(6));
}

class SsoSessionsTest : public ::testing::Test {
protected:
  SsoSessionsTest() {
    settings_.sessionIdleLifetime = 10min;
    settings_.sessionLifetime = 1h;
    settings_.sessionsPerClient = 3;
  }
  DRAVHost::AuthSettings settings_;
  FakeClock clock_;
};

TEST_F(SsoSessionsTest, ASessionEndsWhenIdleOrOld) {
  DRAVHost::SsoSessions sessions(100, settings_, clock_.source());
  const std::string idle = sessions.open("a");
  const std::string used = sessions.open("a");
  EXPECT_EQ(32u, idle.size());
  EXPECT_NE(idle, used);
  clock_.now += 10min - 1ms;
  EXPECT_TRUE(sessions.use(used));
  clock_.now += 1ms;
  EXPECT_FALSE(sessions.use(idle));
  EXPECT_EQ(1u, sessions.count());
  for (int i = 0; i < 5; ++i) {  // used every 9 min: alive until the hour is over
    clock_.now += 9min;
    EXPECT_TRUE(sessions.use(used)) << i;
  }
  clock_.now += 5min - 1ms;
  EXPECT_TRUE(sessions.use(used));
  clock_.now += 1ms;
  EXPECT_FALSE(sessions.use(used));
  EXPECT_FALSE(sessions.use("made-up"));
  EXPECT_EQ(0u, sessions.count());

  settings_.sessionIdleLifetime = settings_.sessionLifetime = std::chrono::milliseconds::max();
  DRAVHost::SsoSessions endless(100, settings_, clock_.source());
  const std::string kept = endless.open("a");
  clock_.now += 24h * 365 * 100;
  EXPECT_TRUE(endless.use(kept));
}

TEST_F(SsoSessionsTest, AnOwnersLogonsPushOutOnlyItsOwnOldest) {
  DRAVHost::SsoSessions sessions(6, settings_, clock_.source());
  const std::string other = sessions.open("other");
  std::vector<std::string> flood;
  for (int i = 0; i < 1100; ++i) flood.push_back(sessions.open("flooder"));
  EXPECT_TRUE(sessions.use(other));
  EXPECT_FALSE(sessions.use(flood[1096]));
  for (int i = 1097; i < 1100; ++i) EXPECT_TRUE(sessions.use(flood[i])) << i;
  EXPECT_EQ(4u, sessions.count());
  // All owners together at the maximum: the busiest loses its oldest.
  const std::string second = sessions.open("second");
  const std::string third = sessions.open("third");
  const std::string fourth = sessions.open("fourth");
  EXPECT_FALSE(sessions.use(flood[1097]));
  for (const std::string& token : {other, second, third, fourth, flood[1098], flood[1099]})
    EXPECT_TRUE(sessions.use(token)) << token;
  EXPECT_EQ(6u, sessions.count());
  // Ended sessions make room before anyone loses one.
  clock_.now += 10min;
  const std::string fresh = sessions.open("flooder");
  EXPECT_EQ(1u, sessions.count());
  EXPECT_TRUE(sessions.use(fresh));
}

}  // namespace
