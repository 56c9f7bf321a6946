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

TEST(CookieUrl, EverySpellingOfAnIpv4AddressIsOneAddress) {
  const struct {
    const char* url;
    const char* address;
  } addresses[] = {
      {"http://127.0.0.1/", "127.0.0.1"},   {"http://127.1/", "127.0.0.1"},
      {"http://0x7f.0.0.1/", "127.0.0.1"},  {"http://0177.0.0.1/", "127.0.0.1"},
      {"http://2130706433/", "127.0.0.1"},  {"http://127.0.1/", "127.0.0.1"},
      {"http://0X7F000001/", "127.0.0.1"},  {"http://127.0.0.1./", "127.0.0.1"},
      {"http://012.0/", "10.0.0.0"},        {"http://0xa000000/", "10.0.0.0"},
      {"http://1.2.0x304/", "1.2.3.4"},     {"http://0xff.0xff.0xffff/", "255.255.255.255"},
      {"http://4294967295/", "255.255.255.255"},
  };
  for (const auto& a : addresses) {
    const CookieUrl u = at(a.url);
    EXPECT_EQ(u.host, a.address) << a.url;
    EXPECT_TRUE(u.ipHost) << a.url;
  }
  EXPECT_TRUE(at("http://[::1]/").ipHost);
  for (const char* url : {"http://example.com/", "http://1.2.3.com/", "http://08.0.0.1/", "http://256.0.0.1/",
                          "http://1.2.3.4.5/", "http://1.2.65536/", "http://1..2/", "http://0xg.0.0.1/",
                          "http://1.2.99-1/", "http://4294967296/"}) {
    const CookieUrl u = at(url);
    EXPECT_FALSE(u.ipHost) << url;
    EXPECT_EQ("http://" + u.host + "/", url) << "a host name stays as it was";
  }
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

// A page directly under the root gets the root as its cookies' path, so
// naming that path again replaces the cookie instead of adding a second.
TEST(CookieStoreMatching, APageAtTheTopHasTheRootAsDefaultPath) {
  CookieStore store;
  ASSERT_TRUE(store.set(at("http://h/page"), "a=1"));
  ASSERT_TRUE(store.set(at("http://h/other"), "a=2; Path=/"));
  EXPECT_EQ(store.size(), 1u);
  EXPECT_EQ(store.header(at("http://h/elsewhere/x")), "a=2");
}

TEST(CookieStoreDomains, AnIpAddressOnlyEverGetsHostOnlyCookies) {
  CookieStore store;
  EXPECT_FALSE(store.set(at("http://127.0.0.1/"), "a=1; Domain=0.0.1"));
  EXPECT_FALSE(store.set(at("http://127.1/"), "b=2; Domain=1"));
  EXPECT_FALSE(store.set(at("http://0x7f.0.0.1/"), "c=3; Domain=0.1"));
  EXPECT_FALSE(store.set(at("http://[::1]/"), "d=4; Domain=1"));
  ASSERT_TRUE(store.set(at("http://127.1/"), "e=5; Domain=127.0.0.1"));
  ASSERT_TRUE(store.set(at("http://127.0.0.1/"), "g=7; Domain=0x7f.1"));
  EXPECT_EQ(store.header(at("http://127.0.0.1/")), "e=5; g=7") << "127.1 is 127.0.0.1";
  EXPECT_EQ(store.header(at("http://10.0.0.1/")), "");
  EXPECT_EQ(store.header(at("http://x.127.0.0.1/")), "") << "host-only, whatever Domain said";

  // "0.0.1" spells the address 0.0.0.1, so it is no domain of host names,
  // and nothing of it reaches an address that ends alike.
  EXPECT_FALSE(store.set(at("http://x.0.0.1/"), "f=6; Domain=0.0.1"));
  EXPECT_EQ(store.header(at("http://y.0.0.1/")), "");
  EXPECT_EQ(store.header(at("http://10.0.0.1/")), "");
  EXPECT_EQ(store.header(at("http://0xa.0.0.1/")), "");
}

TEST(CookieStoreDomains, PublicSuffixesAndSingleLabelsAreRefusedAsDomains) {
  CookieStore store;
  const struct {
    const char* url;
    const char* cookie;
  } refused[] = {
      {"http://bridge.example.com/", "a=1; Domain=com"},
      {"http://bridge.example.com/", "a=1; Domain=.COM"},
      {"http://shop.example.co.uk/", "a=1; Domain=co.uk"},
      {"http://me.github.io/", "a=1; Domain=github.io"},
      {"http://a.localhost/", "a=1; Domain=localhost"},
      {"http://a.internal/", "a=1; Domain=internal"},
      {"http://bridge.example.com/", "a=1; Domain=attacker.com"},
      {"http://bridge.example.com/", "a=1; Domain=ample.com"},
      {"http://example.com/", "a=1; Domain=bridge.example.com"},
  };
  for (const auto& c : refused) EXPECT_FALSE(store.set(at(c.url), c.cookie)) << c.url << " " << c.cookie;
  EXPECT_EQ(store.size(), 0u);

  ASSERT_TRUE(store.set(at("http://bridge.example.com/"), "site=1; Domain=example.com"));
  ASSERT_TRUE(store.set(at("http://me.github.io/"), "page=2; Domain=me.github.io"));
  EXPECT_EQ(store.header(at("http://api.example.com/")), "site=1");
  EXPECT_EQ(store.header(at("http://attacker.com/")), "");
  EXPECT_EQ(store.header(at("http://x.me.github.io/")), "page=2");
  EXPECT_EQ(store.header(at("http://you.github.io/")), "");

  // A host that is itself a public suffix keeps its cookie to itself.
  ASSERT_TRUE(store.set(at("http://github.io/"), "own=3; Domain=github.io"));
  ASSERT_TRUE(store.set(at("http://localhost/"), "local=4; Domain=localhost"));
  EXPECT_EQ(store.header(at("http://github.io/")), "own=3");
  EXPECT_EQ(store.header(at("http://you.github.io/")), "");
  EXPECT_EQ(store.header(at("http://a.localhost/")), "");

  // The last Domain attribute is the one that counts.
  EXPECT_TRUE(store.set(at("http://www.example.org/"), "last=5; Domain=com; Domain=example.org"));
  EXPECT_FALSE(store.set(at("http://www.example.org/"), "first=6; Domain=example.org; Domain=org"));
}

// A fully qualified name ends with the root's dot ("co.uk."): the suffix
// list must still see "co.uk", or every site under it shares cookies.
TEST(CookieStoreDomains, APublicSuffixSpelledWithTheRootsDotIsStillOne) {
  CookieStore store;
  EXPECT_FALSE(store.set(at("http://evil.co.uk./"), "a=1; Domain=co.uk."));
  EXPECT_FALSE(store.set(at("http://evil.github.io./"), "b=2; Domain=.github.io."));
  EXPECT_EQ(store.header(at("http://bank.co.uk./")), "");
  EXPECT_EQ(store.header(at("http://you.github.io./")), "");
}

// "x.127.0.0.1" is a host name under the name "127.0.0.1", but that name is
// no domain of the machine at the address 127.0.0.1.
TEST(CookieStoreDomains, AHostNameCannotSetACookieForAnIpAddress) {
  CookieStore store;
  store.set(at("http://x.127.0.0.1/"), "h=8; Domain=127.0.0.1");
  EXPECT_EQ(store.header(at("http://127.0.0.1/")), "");
  EXPECT_EQ(store.header(at("http://2130706433/")), "");
}

TEST(CookieStoreValues, ControlCharactersOtherThanATabAreRefused) {
  CookieStore store;
  const CookieUrl u = at("http://h/");
  for (const std::string& bad : {std::string("a=x\ry"), std::string("a=x\ny"), std::string("a=x\r"),
                                 std::string("a=\x01"), std::string("a=x\x7f"), std::string("a=x\0y", 5),
                                 std::string("a\r=x"), std::string("a=x; Path=/\r\nInjected: 1")}) {
    EXPECT_FALSE(store.set(u, bad)) << "a case of " << bad.size() << " bytes";
  }
  EXPECT_EQ(store.size(), 0u);
  EXPECT_TRUE(store.set(u, "a=x\ty"));
  EXPECT_TRUE(store.set(u, "b=caf\xc3\xa9"));
  EXPECT_EQ(store.header(u), "a=x\ty; b=caf\xc3\xa9");
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

// A Max-Age that is not an optional '-' and digits is ignored, as if absent:
// neither an end to the cookie ("soon" read as 0) nor a number read from its
// start.
TEST(CookieStoreExpiry, AMaxAgeThatIsNoNumberIsIgnored) {
  CookieStore store;
  const CookieUrl u = at("http://h/");
  const auto now = CookieStore::Clock::now();
  ASSERT_TRUE(store.set(u, "a=1", now));
  store.set(u, "a=2; Max-Age=soon", now);
  store.set(u, "b=3; Max-Age=+5", now);
  store.set(u, "c=4; Max-Age=5s", now);
  EXPECT_EQ(store.header(u, now + std::chrono::seconds(60)), "a=2; b=3; c=4");
}

// A Max-Age far below zero ends the cookie like any other, without counting
// its billions of seconds in the clock's nanoseconds.
TEST(CookieStoreExpiry, AFarNegativeMaxAgeEndsTheCookie) {
  CookieStore store;
  const CookieUrl u = at("http://h/");
  ASSERT_TRUE(store.set(u, "a=1"));
  ASSERT_TRUE(store.set(u, "a=2; Max-Age=-100000000000"));
  ASSERT_TRUE(store.set(u, "b=3; Max-Age=-9223372036854775808"));
  EXPECT_EQ(store.header(u), "");
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

// A Path or Domain longer than any real one is ignored, so that a full
// store stays within its bound of bytes as well as of cookies.
TEST(CookieStoreLimits, AnOverlongAttributeIsIgnored) {
  CookieStore store;
  const std::string longPath = "/" + std::string(drav_wininet::kMaxCookieAttributeBytes, 'p');
  const std::string longDomain = std::string(drav_wininet::kMaxCookieAttributeBytes, 'a') + ".example.com";
  ASSERT_TRUE(store.set(at("http://www.example.com/d/x"), "p=1; Path=" + longPath));
  ASSERT_TRUE(store.set(at("http://" + longDomain + "/"), "d=2; Domain=" + longDomain));
  EXPECT_EQ(store.header(at("http://www.example.com/d/y")), "p=1") << "the default path /d";
  EXPECT_EQ(store.header(at("http://www.example.com" + longPath)), "");
  EXPECT_EQ(store.header(at("http://" + longDomain + "/")), "d=2");
  EXPECT_EQ(store.header(at("http://x." + longDomain + "/")), "") << "host-only";
  ASSERT_TRUE(store.set(at("http://www.example.com/"), "q=3; Path=" + longPath.substr(0, 1024)));
  EXPECT_EQ(store.header(at("http://www.example.com" + longPath.substr(0, 1024))), "q=3");
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
      // Either side of the end of February, where leap days fall.
      {"Thu, 29 Feb 2024 00:00:00 GMT", true, 1709164800},
      {"Fri, 01 Mar 2024 00:00:00 GMT", true, 1709251200},
      {"Wed, 01 Mar 2023 00:00:00 GMT", true, 1677628800},
      {"Wed, 01 Mar 2000 00:00:00 GMT", true, 951868800},
      {"Fri, 31 Dec 2100 00:00:00 GMT", true, 4133894400},
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
