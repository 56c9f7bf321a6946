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

}  // namespace
