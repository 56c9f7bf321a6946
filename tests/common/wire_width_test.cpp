// The 32-bit gate every counted or transmitted quantity passes, and the
// exception text it refuses with.
#include <drav/common/exception.h>
#include <drav/common/wire_width.h>

#include <gtest/gtest.h>

#include <climits>
#include <sstream>
#include <string>

namespace {

using DRAV::detail::toWireLong;
using DRAV::detail::toWireULong;

// The message of the exception `call` throws, or "" when it throws none.
template <typename Call>
std::string refusal(Call call) {
  try {
    call();
  } catch (const DRAVException& e) {
    return e.what();
  }
  return "";
}

TEST(WireWidth, TheLargestValuesThatFitPassUnchanged) {
  EXPECT_EQ(toWireULong(0xFFFFFFFFul, "size"), 0xFFFFFFFFu);
  EXPECT_EQ(toWireULong(0, "size"), 0u);
  EXPECT_EQ(toWireLong(INT32_MAX, "count"), INT32_MAX);
  EXPECT_EQ(toWireLong(INT32_MIN, "count"), INT32_MIN);
  EXPECT_EQ(toWireLong(-1, "count"), -1);
}

// A long made at run time, so that builds where long is 32 bits (and the
// test is skipped) do not fold an overflowing constant.
long asLong(long long value) { return static_cast<long>(value); }

TEST(WireWidth, OneBeyondEitherEndIsRefusedWithTheValueInTheMessage) {
  if (sizeof(long) <= 4) GTEST_SKIP() << "long is 32 bits here: nothing lies beyond";
  EXPECT_EQ(refusal([] { toWireULong(static_cast<unsigned long>(0x100000000ull), "chunk size"); }),
            "chunk size does not fit in 32 bits: 4294967296");
  EXPECT_EQ(refusal([] { toWireLong(asLong(INT32_MAX + 1LL), "status code"); }),
            "status code does not fit in 32 bits: 2147483648");
  EXPECT_EQ(refusal([] { toWireLong(asLong(INT32_MIN - 1LL), "status code"); }),
            "status code does not fit in 32 bits: -2147483649");
}

TEST(DRAVException, StreamsItsMessageAloneAndSubclassesKeepIt) {
  std::ostringstream out;
  out << DRAVException("plain") << '|' << DRAVSmartProxyException("proxy");
  EXPECT_EQ(out.str(), "plain|proxy");
  const DRAVException& base = DRAVSmartProxyException("kept");
  EXPECT_STREQ(base.what(), "kept");
}

}  // namespace
