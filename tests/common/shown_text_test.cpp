// Text a peer chose, shown to a person: terminal controls escaped, UTF-8
// kept, and a cut never splits a character.
#include <drav/common/log_field.h>

#include <gtest/gtest.h>

namespace {

using DRAV::detail::escapeShownText;

TEST(ShownText, ControlsAreEscapedAndUtf8IsKeptWhole) {
  EXPECT_EQ("caf\xc3\xa9 \\x1B[2J \\\"q\\\" \\x7F", escapeShownText("caf\xc3\xa9 \x1b[2J \"q\" \x7f"));
  EXPECT_EQ("bad\\xFF\\xFE \\xC3", escapeShownText("bad\xff\xfe \xc3")) << "bytes of no whole character";
  const std::string e = "\xc3\xa9";
  EXPECT_EQ(e + e + "\\...", escapeShownText(e + e + e + e + e, 8));
  EXPECT_EQ("a" + e + "\\...", escapeShownText("a" + e + e + e + e, 8)) << "the next character would not fit whole";
  EXPECT_EQ("a" + e + e + e, escapeShownText("a" + e + e + e, 7)) << "what fits is not cut";
}

// U+0080..U+009F are controls too: U+009B opens a terminal sequence as ESC [
// does, U+0085 ends a line. Written as UTF-8 they are whole characters, yet
// must not reach a terminal raw; U+00A0 and up stay.
TEST(ShownText, Utf8EncodedC1ControlsAreEscaped) {
  for (const char* c1 : {"\xc2\x80", "\xc2\x85", "\xc2\x9b", "\xc2\x9f"}) {
    const std::string shown = escapeShownText(std::string("a") + c1 + "2Jb");
    EXPECT_EQ(shown.find(c1), std::string::npos) << shown;
    EXPECT_EQ(shown.front(), 'a');
    EXPECT_EQ(shown.substr(shown.size() - 3), "2Jb");
  }
  EXPECT_EQ("\xc2\xa0\xc2\xbf", escapeShownText("\xc2\xa0\xc2\xbf")) << "printable Latin-1 range kept";
}

}  // namespace
