// The cookie store behind InternetSetCookieW / InternetGetCookieW: matching,
// expiry, limits and date reading. Internal to our WinINet, so not built
// against the system's.
#ifndef _WIN32

#include <win32/wininet_cookies.h>

#include <gtest/gtest.h>

namespace {

using drav_wininet::CookieStore;
using drav_wininet::CookieUrl;

CookieUrl at(const std::string& url) {
  CookieUrl u;
  EXPECT_TRUE(u.parse(url)) << url;
  return u;
}

TEST(CookieUrl, SplitsSchemeHostAndPath) {
  const CookieUrl u = at("HTTPS://User@Example.COM:8443/a/b?q=1#f");
  EXPECT_EQ(u.scheme, "https");
  EXPECT_EQ(u.host, "example.com");
  EXPECT_EQ(u.path, "/a/b");
  EXPECT_EQ(at("http://[::1]:80").host, "::1");
  EXPECT_EQ(at("http://h").path, "/");
  CookieUrl bad;
  EXPECT_FALSE(bad.parse("no scheme"));
  EXPECT_FALSE(bad.parse("http:///path"));
  EXPECT_FALSE(bad.parse("http://[::1/x"));
}

TEST(CookieStoreMatching, HostDomainPathAndSecureDecideWhatIsSent) {
  CookieStore store;
  const CookieUrl page = at("http://www.example.com/shop/cart");
  ASSERT_TRUE(store.set(page, "host=1"));                              // host-only, path /shop
  ASSERT_TRUE(store.set(page, "dom=2; Domain=.example.com; Path=/"));  // whole domain
  ASSERT_TRUE(store.set(page, "deep=3; Path=/shop/cart"));
  ASSERT_TRUE(store.set(page, "sec=4; Secure; Path=/"));
  EXPECT_FALSE(store.set(page, "evil=5; Domain=other.com"));
  EXPECT_FALSE(store.set(page, "noequals"));
  EXPECT_FALSE(store.set(page, "=nameless"));
  EXPECT_EQ(store.header(at("http://www.example.com/shop/cart/item")), "deep=3; host=1; dom=2");
  EXPECT_EQ(store.header(at("http://www.example.com/shopping")), "dom=2") << "/shop is no prefix of /shopping";
  EXPECT_EQ(store.header(at("http://api.example.com/shop/x")), "dom=2");
  EXPECT_EQ(store.header(at("https://www.example.com/")), "dom=2; sec=4");
  EXPECT_EQ(store.header(at("http://example.org/")), "");
  CookieStore other;
  ASSERT_TRUE(other.set(page, "c=1; Comment=/elsewhere"));
  EXPECT_EQ(other.header(at("http://www.example.com/shop/x")), "c=1") << "only Path sets the path";
}

TEST(CookieStoreExpiry, MaxAgeWinsOverExpiresAndExpiredCookiesLeave) {
  CookieStore store;
  const CookieUrl u = at("http://h/");
  const auto now = CookieStore::Clock::now();
  ASSERT_TRUE(store.set(u, "a=1; Max-Age=10; Expires=Thu, 01 Jan 1970 00:00:00 GMT", now));
  ASSERT_TRUE(store.set(u, "b=2; Expires=Fri, 31 Dec 9999 23:59:59 GMT", now));
  EXPECT_EQ(store.header(u, now), "a=1; b=2");
  EXPECT_EQ(store.header(u, now + std::chrono::seconds(11)), "b=2");
  ASSERT_TRUE(store.set(u, "b=x; Max-Age=0", now));
  EXPECT_EQ(store.size(), 0u);
}

TEST(CookieStoreLimits, TheOldestCookiesOfAHostGiveWay) {
  CookieStore store;
  const CookieUrl u = at("http://h/");
  for (std::size_t i = 0; i < drav_wininet::kMaxCookiesPerHost + 5; ++i)
    ASSERT_TRUE(store.set(u, "c" + std::to_string(i) + "=v"));
  EXPECT_EQ(store.size(), drav_wininet::kMaxCookiesPerHost);
  EXPECT_EQ(store.header(u).compare(0, 6, "c5=v; "), 0);
  EXPECT_FALSE(store.set(u, "big=" + std::string(drav_wininet::kMaxCookieBytes, 'x')));
}

TEST(CookieDates, TheThreeHttpFormsAreReadAndNonsenseIsNot) {
  struct Case {
    const char* text;
    bool ok;
    long long seconds;
  };
  const Case cases[] = {
      {"Sun, 06 Nov 1994 08:49:37 GMT", true, 784111777},
      {"Sunday, 06-Nov-94 08:49:37 GMT", true, 784111777},
      {"Sun Nov  6 08:49:37 1994", true, 784111777},
      {"Thu, 01 Jan 1970 00:00:00 GMT", true, 0},
      {"Fri, 31 Dec 9999 23:59:59 GMT", true, 253402300799},
      {"", false, 0},
      {"tomorrow", false, 0},
      {"Sun, 32 Nov 1994 08:49:37 GMT", false, 0},
      {"Sun, 06 Nov 1994 25:49:37 GMT", false, 0},
      {"Sun, 06 Xyz 1994 08:49:37 GMT", false, 0},
  };
  for (const Case& c : cases) {
    long long seconds = -1;
    EXPECT_EQ(drav_wininet::parseCookieDate(c.text, seconds), c.ok) << c.text;
    if (c.ok) {
      EXPECT_EQ(seconds, c.seconds) << c.text;
    }
  }
}

}  // namespace

#endif  // _WIN32
