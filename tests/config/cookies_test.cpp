#include <drav/config/cookies.h>
#include <drav/platform/annal.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Pairs = std::vector<std::pair<std::string, std::string>>;

Pairs entries(const DRAVCookies& cookies) {
  return Pairs(cookies.getCookies().begin(), cookies.getCookies().end());
}

TEST(DRAVCookies, ParsesEntriesIntoNameOrder) {
  const struct {
    const char* text;
    Pairs expected;
  } cases[] = {
      {"b=2; a=1", {{"a", "1"}, {"b", "2"}}},
      {"a=1; a=2", {{"a", "1"}}},
      {"x", {{"x", ""}}},
      {"x=", {{"x", ""}}},
      {"x=y=z", {{"x", "y=z"}}},
      {"a=1;b=2", {{"a", "1"}, {"b", "2"}}},
      {"a=1;   b=2", {{"a", "1"}, {"b", "2"}}},
      {"a=1;", {{"a", "1"}}},
      {"a =1", {{"a ", "1"}}},
      {"a= 1 ; b", {{"a", " 1 "}, {"b", ""}}},
      {"B=1; a=2", {{"B", "1"}, {"a", "2"}}},
      {"a=1;\tb=2", {{"\tb", "2"}, {"a", "1"}}},
      {" a=1", {{" a", "1"}}},
      {"  a=1; b=2", {{"  a", "1"}, {"b", "2"}}},
      {"   ", {{"   ", ""}}},
      {"", {}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(entries(DRAVCookies(c.text)), c.expected) << c.text;
  }
}

TEST(DRAVCookies, EntriesWithoutANameAreDropped) {
  const struct {
    const char* text;
    Pairs expected;
  } cases[] = {
      {"a=1;;b=2", {{"a", "1"}, {"b", "2"}}},
      {"a=1; ", {{"a", "1"}}},
      {"a=1;    ", {{"a", "1"}}},
      {"a=1; ; ;b=2", {{"a", "1"}, {"b", "2"}}},
      {"=x; a=1", {{"a", "1"}}},
      {";", {}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(entries(DRAVCookies(c.text)), c.expected) << c.text;
  }
}

TEST(DRAVCookies, PrintsEveryEntryWithATrailingSeparator) {
  EXPECT_EQ(DRAVCookies("b=2; a=1").toString(), "a=1; b=2; ");
  EXPECT_EQ(DRAVCookies("x").toString(), "x=; ");
  EXPECT_EQ(DRAVCookies().toString(), "");
}

TEST(DRAVCookies, PrintedTextParsesBackToTheSameSet) {
  const char* texts[] = {"b=2; a=1", "a=1;;b=2", "a=1; ", "x=y=z; q", "a =1;\tb= 2 ;c", "  z=1; y=2", "z=1;\x01=2", ""};
  for (const char* text : texts) {
    const DRAVCookies once(text);
    EXPECT_EQ(entries(DRAVCookies(once.toString())), entries(once)) << text;
  }
}

TEST(DRAVCookies, AddCookieNeverReplacesAnEntry) {
  DRAVCookies cookies("a=1");
  EXPECT_FALSE(cookies.addCookie(DRAVCookie("a", "2")));
  EXPECT_TRUE(cookies.addCookie(DRAVCookie("b")));
  EXPECT_EQ(entries(cookies), (Pairs{{"a", "1"}, {"b", ""}}));
}

TEST(DRAVCookies, AddCookieRefusesWhatACookieStringCannotCarry) {
  std::vector<std::string> traced;
  Annal::setSink([&](const Annal::Importance&, const std::string& line) { traced.push_back(line); });
  DRAVCookies cookies;
  EXPECT_FALSE(cookies.addCookie(DRAVCookie("", "v")));
  EXPECT_FALSE(cookies.addCookie(DRAVCookie("a=b", "v")));
  EXPECT_FALSE(cookies.addCookie(DRAVCookie("a;b", "v")));
  EXPECT_FALSE(cookies.addCookie(DRAVCookie(" a", "v")));
  EXPECT_FALSE(cookies.addCookie(DRAVCookie("a", "v;w")));
  Annal::setSink(nullptr);
  EXPECT_TRUE(cookies.getCookies().empty());
  EXPECT_EQ(traced.size(), 5u);
  EXPECT_TRUE(cookies.addCookie(DRAVCookie("a ", "v=w x")));
  EXPECT_EQ(entries(DRAVCookies(cookies.toString())), entries(cookies));
}

}  // namespace
