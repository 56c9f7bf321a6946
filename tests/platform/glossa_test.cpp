// UTF-8 / UCS-2 strings: lossless round trips and safe handling of malformed text.
#include <drav/platform/glossa.h>

#include <gtest/gtest.h>

namespace {

std::basic_string<unsigned short> units(std::initializer_list<unsigned short> list) { return {list}; }

TEST(Glossa, ConvertsBothWaysIncludingSurrogatePairs) {
  zu_utf8string text("a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80");  // a é € 😀
  ucs2string wide(text);
  EXPECT_EQ(wide.units(), units({0x61, 0xE9, 0x20AC, 0xD83D, 0xDE00}));
  EXPECT_EQ(wide.c_str()[wide.size()], 0) << "zero-terminated";
  zu_utf8string back(wide);
  EXPECT_EQ(back, text);
  EXPECT_EQ(back.size(), 10u);
  EXPECT_EQ(zu_utf8string(wide.c_str()), text) << "from a zero-terminated UCS-2 pointer";
}

// Both sides of each edge: the last one-unit code point and the first and
// last that need a pair, and the code units around both surrogate ranges.
TEST(Glossa, EdgesOfTheBasicPlaneAndOfTheSurrogatesConvertExactly) {
  const struct {
    std::string bytes;
    std::basic_string<unsigned short> units;
  } cases[] = {
      {"\xED\x9F\xBF", units({0xD7FF})},
      {"\xEE\x80\x80", units({0xE000})},
      {"\xEF\xBF\xBF", units({0xFFFF})},
      {"\xF0\x90\x80\x80", units({0xD800, 0xDC00})},
      {"\xF4\x8F\xBF\xBF", units({0xDBFF, 0xDFFF})},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Glossa::utf8ToUtf16(c.bytes.data(), c.bytes.size()), c.units) << c.bytes;
    EXPECT_EQ(Glossa::utf16ToUtf8(c.units.data(), c.units.size()), c.bytes) << c.bytes;
  }
  const std::string replacement = "\xEF\xBF\xBD";
  const auto highThenOther = units({0xDBFF, 0xE000, 0xD7FF, 0xDFFF});
  EXPECT_EQ(Glossa::utf16ToUtf8(highThenOther.data(), highThenOther.size()),
            replacement + "\xEE\x80\x80\xED\x9F\xBF" + replacement);
  // A pair cut by the count is not read past it.
  const auto pair = units({0xD83D, 0xDE00});
  EXPECT_EQ(Glossa::utf16ToUtf8(pair.data(), 1), replacement);
}

// ASCII is taken eight bytes at a time: a code point that is not ASCII
// converts wherever it stands in or around the first such pieces.
TEST(Glossa, ACodePointAfterAsciiConvertsWhateverTheAsciiLength) {
  for (std::size_t at = 0; at <= 17; ++at) {
    const std::string text = std::string(at, 'x') + "\xC3\xA9" + std::string(9, 'y');
    std::basic_string<unsigned short> expected(at, 'x');
    expected += 0xE9;
    expected.append(9, 'y');
    EXPECT_EQ(Glossa::utf8ToUtf16(text.data(), text.size()), expected) << at;
  }
}

TEST(Glossa, MalformedUtf8BecomesReplacementCharacters) {
  const struct {
    std::string bytes;
    std::basic_string<unsigned short> expected;
  } cases[] = {
      {"a\xFF" "b", units({0x61, 0xFFFD, 0x62})},
      {"\xC3", units({0xFFFD})},                        // truncated at the end
      {"\xE2\x82", units({0xFFFD, 0xFFFD})},            // truncated three-byte form
      {"\xC0\xAF", units({0xFFFD, 0xFFFD})},            // overlong
      {"\xED\xA0\x80", units({0xFFFD, 0xFFFD, 0xFFFD})},  // encoded surrogate
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Glossa::utf8ToUtf16(c.bytes.data(), c.bytes.size()), c.expected);
  }
}

TEST(Glossa, UnpairedSurrogatesBecomeReplacementCharacters) {
  auto lone = units({0x61, 0xD800, 0x62, 0xDC00});
  EXPECT_EQ(Glossa::utf16ToUtf8(lone.data(), lone.size()), "a\xEF\xBF\xBD" "b\xEF\xBF\xBD");
  auto trailingHigh = units({0xD83D});
  EXPECT_EQ(Glossa::utf16ToUtf8(trailingHigh.data(), 1), "\xEF\xBF\xBD");
}

TEST(Glossa, NullPointersReadAsEmptyAndBytesKeepEmbeddedNuls) {
  EXPECT_EQ(zu_utf8string(static_cast<const char*>(nullptr)).size(), 0u);
  EXPECT_EQ(zu_utf8string(static_cast<const unsigned short*>(nullptr)).size(), 0u);
  EXPECT_EQ(ucs2string(static_cast<const unsigned short*>(nullptr)).size(), 0u);
  zu_utf8string assigned("x");
  assigned = static_cast<const unsigned char*>(nullptr);
  EXPECT_EQ(assigned.size(), 0u);
  EXPECT_EQ(zu_utf8string("a\0b", 3).size(), 3u);
  ucs2string wide;
  wide.assign(reinterpret_cast<const unsigned char*>("\xE2\x82\xAC"));
  EXPECT_EQ(wide.units(), units({0x20AC}));
  wide.assign(nullptr);
  EXPECT_EQ(wide.size(), 0u);
  EXPECT_EQ(zu_utf8string(static_cast<const char*>(nullptr), 4).size(), 0u);
  const unsigned short counted[] = {0x61, 0, 0x62};
  EXPECT_EQ(ucs2string(counted, 3).units(), units({0x61, 0, 0x62})) << "a count keeps embedded zeros";
  EXPECT_EQ(ucs2string(counted).units(), units({0x61})) << "without one, the first zero ends the text";
  const unsigned short emptyFirst[] = {0, 0x62, 0};
  EXPECT_EQ(ucs2string(emptyFirst).size(), 0u);
  EXPECT_EQ(zu_utf8string(emptyFirst).size(), 0u);
}

}  // namespace
