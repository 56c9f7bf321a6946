#include <drav/common/exception.h>
#include <drav/config/url.h>

#include <gtest/gtest.h>

#include <climits>
#include <functional>

namespace {

struct ParseCase {
  const char* text;
  const char* scheme;
  const char* host;
  unsigned long port;
  const char* uri;
  const char* printed;
};

const ParseCase kParseCases[] = {
    {"http://srv/app/x", "http", "srv", 80, "app/x", "http://srv:80/app/x"},
    {"https://h", "https", "h", 443, "", "https://h:443/"},
    {"HTTPS://srv", "https", "srv", 443, "", "https://srv:443/"},
    {"ftp://h/a", "ftp", "h", 80, "a", "ftp://h:80/a"},
    {"h:81", "http", "h", 81, "", "http://h:81/"},
    {"srv:8080/app", "http", "srv", 8080, "app", "http://srv:8080/app"},
    {"http://h:/x", "http", "h", 0, "x", "http://h:0/x"},
    {"http://h:abc/x", "http", "h", 0, "x", "http://h:0/x"},
    {"http://h: +12x/x", "http", "h", 12, "x", "http://h:12/x"},
    {"http://h:-1/x", "http", "h", 0xFFFFFFFFul, "x", "http://h:-1/x"},
    {"https://h:8443/a//b/../c/", "https", "h", 8443, "a/c", "https://h:8443/a/c"},
    {"http://h/x:9", "http", "h", 80, "x:9", "http://h:80/x:9"},  // a ":" in the path is no port
    {"http:/h", "http", "http", 0, "h", "http://http:0/h"},     // one "/" is no scheme separator
    {"://h", "", "h", 80, "", "://h:80/"},
    {"", "http", "", 80, "", "http://:80/"},
    {"http://", "http", "", 80, "", "http://:80/"},
    {"x:", "http", "x", 0, "", "http://x:0/"},
    // IPv6 literals are bracketed; their colons are not the port's.
    {"http://[::1]:8080/bridges/sample", "http", "::1", 8080, "bridges/sample", "http://[::1]:8080/bridges/sample"},
    {"https://[fe80::1:2]/x", "https", "fe80::1:2", 443, "x", "https://[fe80::1:2]:443/x"},
    {"[::1]:81", "http", "::1", 81, "", "http://[::1]:81/"},
    {"http://[::1]/a:9", "http", "::1", 80, "a:9", "http://[::1]:80/a:9"},
    {"http://[::1]x:9/", "http", "::1", 80, "", "http://[::1]:80/"},  // no ":" right after "]": no port
    {"http://[::1:9/x", "http", "[::1:9", 80, "x", "http://[[::1:9]:80/x"},  // unclosed: no port to find
    {"[h", "http", "[h", 80, "", "http://[[h]:80/"},
    {"http://[]:5/", "http", "", 5, "", "http://:5/"},
};

TEST(Url, ParsesAndPrintsEachFormWithTheExplicitPort) {
  for (const ParseCase& c : kParseCases) {
    SCOPED_TRACE(c.text);
    const Url url(c.text);
    EXPECT_EQ(url.scheme(), c.scheme);
    EXPECT_EQ(url.host(), c.host);
    EXPECT_EQ(url.port(), c.port);
    EXPECT_EQ(url.uri(), c.uri);
    EXPECT_EQ(url.toString(), c.printed);
  }
}

// Every short text made of the characters that steer the parse: none is
// read outside its bounds, and each prints as a text that reads back as
// the same scheme, host and port.
TEST(Url, EveryTextOfBracketsColonsAndSlashesReadsBackAsItsOwnHostAndPort) {
  const std::string alphabet = "[]:/h1";
  std::string text;
  int checked = 0;
  const std::function<void(std::size_t)> walk = [&](std::size_t length) {
    if (text.size() == length) {
      const Url url(text);
      const Url again(url.toString());
      EXPECT_EQ(again.host(), url.host()) << text;
      EXPECT_EQ(again.port(), url.port()) << text;
      EXPECT_EQ(again.scheme(), url.scheme()) << text;
      ++checked;
      return;
    }
    for (char c : alphabet) {
      text.push_back(c);
      walk(length);
      text.pop_back();
    }
  };
  for (std::size_t length = 0; length <= 5; ++length) walk(length);
  EXPECT_EQ(checked, 9331);
}

TEST(Url, DefaultIsPlainHttpOnPort80) {
  EXPECT_EQ(Url().toString(), "http://:80/");
  EXPECT_FALSE(Url().useSsl());
}

TEST(Url, UseSslForHttpsInAnyCase) {
  EXPECT_TRUE(Url("https://h").useSsl());
  EXPECT_TRUE(Url("HTTPS://h").useSsl());
  EXPECT_TRUE(Url("Https://h").useSsl());
  EXPECT_TRUE(Url().scheme("hTTps").useSsl());
  EXPECT_FALSE(Url("http://h").useSsl());
  EXPECT_FALSE(Url("httpsx://h").useSsl());
}

TEST(Url, AssigningTextReplacesEveryField) {
  Url url("https://one:8443/a/b");
  url = std::string("http://other");
  EXPECT_EQ(url.toString(), "http://other:80/");
}

TEST(Url, PathNormalisationDropsEmptySegmentsAndResolvesDotDot) {
  const struct {
    const char* in;
    const char* out;
  } cases[] = {
      {"/a//b/../c/", "a/c"}, {"../x", "x"},         {"/../../a/./b/", "a/./b"},
      {"a/b/../../..", ""},   {"///", ""},           {"..", ""},
      {"a/..b/c", "a/..b/c"}, {"a/.../b", "a/.../b"}, {"x/y/z/../../w", "x/w"},
  };
  for (const auto& c : cases) {
    Url url;
    EXPECT_EQ(url.uri(c.in).uri(), c.out) << c.in;
  }
}

TEST(Url, SettersChainKeepingTheHostAsGivenAndTheSchemeInLowerCase) {
  Url url;
  url.scheme("HTTPS").host("Srv.Example").port(8080ul).uri("/p/");
  EXPECT_EQ(url.toString(), "https://Srv.Example:8080/p");
}

TEST(Url, PortTextSaturatesInsteadOfOverflowing) {
  Url url;
  EXPECT_EQ(url.port(std::string("99999999999999999999999")).port(), static_cast<unsigned long>(INT32_MAX));
  EXPECT_EQ(url.port(std::string("2147483648")).port(), static_cast<unsigned long>(INT32_MAX));
  EXPECT_EQ(url.port(std::string("-99999999999999999999999")).port(), 0x80000000ul);
  EXPECT_EQ(url.port(std::string("  \t-2147483648")).port(), 0x80000000ul);
  EXPECT_EQ(url.port(std::string("2147483647")).port(), 2147483647ul);
  EXPECT_EQ(url.port(std::string("+-5")).port(), 0ul);
  EXPECT_EQ(url.port(std::string("")).port(), 0ul);
  EXPECT_EQ(Url("h:99999999999/x").toString(), "http://h:2147483647/x");
}

TEST(Url, NumericPortBeyond32BitsIsRefused) {
  if (sizeof(unsigned long) <= 4) GTEST_SKIP() << "unsigned long is 32 bits here";
  Url url("h:81");
  EXPECT_THROW(url.port(static_cast<unsigned long>(0x100000000ull)), DRAVException);
  EXPECT_EQ(url.port(), 81ul);
  EXPECT_EQ(url.port(0xFFFFFFFFul).port(), 0xFFFFFFFFul);
}

}  // namespace
