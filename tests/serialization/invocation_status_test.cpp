// The invocation status: wire bytes, the record behind the VARIANT, changes
// through a wrapper, copies and refused input.
#include <drav/common/exception.h>
#include <drav/platform/win32.h>
#include <drav/serialization/input_stream.h>
#include <drav/serialization/invocation_status.h>
#include <drav/serialization/output_stream.h>
#include <drav/serialization/size_calculator.h>

#include <gtest/gtest.h>

#include <climits>
#include <cstring>

#include "../compression/allocation_probe.h"
#include "support/bytes.h"

using DRAVInvocation::Bridge::Status;
using DRAVInvocation::Bridge::StatusWrapper;
using dravtest::hex;
using dravtest::payload;
using dravtest::toHex;

namespace {

std::string wire(const Status& status) {
  DRAVDataOutputStream out;
  status.writeObject(out);
  DRAVDataTypedStream sizes;
  EXPECT_EQ(status.objectSize(&sizes), out.size() - 1);
  return toHex(payload(out));
}

std::basic_string<OLECHAR> unitsOf(BSTR text) { return std::basic_string<OLECHAR>(text, SysStringLen(text)); }

TEST(InvocationStatus, DefaultIsNoErrorInThirtySixBytes) {
  Status status;
  EXPECT_EQ(wire(status), toHex(hex("00 00 00 01 00  00 00 00 01 00"
                                    "00 00 00 12 6E 6F 20 65 72 72 6F 72 20 64 65 74 65 63 74 65 64 00"
                                    "00 00 00 00")));
  DRAVDataTypedStream sizes;
  EXPECT_EQ(status.objectSize(&sizes), 36u);
  EXPECT_EQ(status.getStatus().code, 0);
  EXPECT_EQ(status.getStatus().text1, nullptr);
  EXPECT_EQ(status.getStatus().text2, nullptr);
  EXPECT_EQ(unitsOf(status.getStatus().message).size(), 17u);
}

TEST(InvocationStatus, VariantIsAByReferenceRecordWithoutRecordInformation) {
  Status status;
  const VARIANT& v = status.getVariant();
  EXPECT_EQ(v.vt, 0x4024);
  EXPECT_EQ(v.pvRecord, &status.getStatus());
  EXPECT_EQ(v.pRecInfo, nullptr);
}

// Code that holds only the VARIANT reads the record by its fixed layout:
// text1, text2, code, message, each in a pointer-sized slot (on the 32-bit
// platform four 4-byte fields, 16 bytes in all).
TEST(InvocationStatus, TheRecordBehindTheVariantHasItsFixedLayout) {
  Status status("a", "b", "m", -5);
  const auto* record = static_cast<const unsigned char*>(status.getVariant().pvRecord);
  const std::size_t slot = sizeof(void*);
  EXPECT_EQ(sizeof(_DRAVInvocationStatus), 4 * slot);
  BSTR text1, text2, message;
  LONG code;
  std::memcpy(&text1, record, slot);
  std::memcpy(&text2, record + slot, slot);
  std::memcpy(&code, record + 2 * slot, sizeof code);
  std::memcpy(&message, record + 3 * slot, slot);
  EXPECT_EQ(code, -5);
  ASSERT_EQ(text1, status.getStatus().text1);
  ASSERT_EQ(text2, status.getStatus().text2);
  ASSERT_EQ(message, status.getStatus().message);
  EXPECT_EQ(unitsOf(text1), std::basic_string<OLECHAR>(1, 'a'));
  EXPECT_EQ(unitsOf(message), std::basic_string<OLECHAR>(1, 'm'));
}

TEST(InvocationStatus, GivenTextsAndCodeGoOnTheWireInOrder) {
  struct Case {
    Status status;
    const char* bytes;
  };
  const Case cases[] = {
      {Status("a", "b", "failed", 42), "00 00 00 02 61 00  00 00 00 02 62 00  00 00 00 07 66 61 69 6C 65 64 00  00 00 00 2A"},
      {Status("", "", "", -1), "00 00 00 01 00  00 00 00 01 00  00 00 00 01 00  FF FF FF FF"},
      // Narrow text is UTF-8 here; it comes back byte for byte, also behind ASCII and beside 0x7F.
      {Status("\xC3\xA9", "", "x", 0), "00 00 00 03 C3 A9 00  00 00 00 01 00  00 00 00 02 78 00  00 00 00 00"},
      {Status("a\xC3\xA9", "\x7F", "x", 0), "00 00 00 04 61 C3 A9 00  00 00 00 02 7F 00  00 00 00 02 78 00  00 00 00 00"},
      // U+0080, the first character past ASCII.
      {Status("\xC2\x80", "", "x", 0), "00 00 00 03 C2 80 00  00 00 00 01 00  00 00 00 02 78 00  00 00 00 00"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.bytes);
    EXPECT_EQ(wire(c.status), toHex(hex(c.bytes)));
  }
}

TEST(InvocationStatus, TextIsStoredAsUtf16InTheRecord) {
#ifdef _WIN32
  // Text converts through the ANSI code page: UTF-8 on our other hosts, the
  // system's on Windows (Wine's is 1252, where these bytes are two characters).
  if (GetACP() != CP_UTF8) GTEST_SKIP() << "the ANSI code page is not UTF-8 here";
#endif
  Status status("\xC3\xA9", "", "m", 1);
  EXPECT_EQ(unitsOf(status.getStatus().text1), std::basic_string<OLECHAR>(1, 0xE9));
  EXPECT_NE(status.getStatus().text2, nullptr);  // given, though empty
  EXPECT_EQ(SysStringLen(status.getStatus().text2), 0u);
  // Behind ASCII, and beside the ASCII bound.
  Status mixed("a\xC3\xA9", "", "\x7F", 1);
  EXPECT_EQ(unitsOf(mixed.getStatus().text1), (std::basic_string<OLECHAR>{0x61, 0xE9}));
  EXPECT_EQ(unitsOf(mixed.getStatus().message), std::basic_string<OLECHAR>(1, 0x7F));
}

TEST(InvocationStatus, WrapperChangesTheRecordInPlace) {
  Status status;
  StatusWrapper wrapper(status.getVariant());
  wrapper.code(7);
  EXPECT_EQ(status.getStatus().code, 7);
  EXPECT_EQ(wire(status).substr(wire(status).size() - 11), "00 00 00 07");

  wrapper.message("first");
  wrapper.message("second");  // the first message is freed, not leaked
  EXPECT_EQ(&wrapper.getStatus(), &status.getStatus());
  EXPECT_EQ(wire(status), toHex(hex("00 00 00 01 00  00 00 00 01 00  00 00 00 07 73 65 63 6F 6E 64 00  00 00 00 07")));
}

TEST(InvocationStatus, WrapperRefusesAVariantThatIsNoStatus) {
  VARIANT number;
  VariantInit(&number);
  number.vt = VT_I4;
  number.lVal = 5;
  StatusWrapper wrapper(number);
  EXPECT_THROW(wrapper.code(1), DRAVException);
  EXPECT_THROW(wrapper.message("x"), DRAVException);
  EXPECT_THROW(wrapper.getStatus(), DRAVException);
  EXPECT_EQ(number.lVal, 5);

  VARIANT emptyRecord;
  VariantInit(&emptyRecord);
  emptyRecord.vt = VT_BYREF | VT_RECORD;
  emptyRecord.pvRecord = nullptr;
  EXPECT_THROW(StatusWrapper(emptyRecord).code(1), DRAVException);
}

TEST(InvocationStatus, CodesBeyond32BitsAreRefusedNotTruncated) {
  if (sizeof(long) <= 4) GTEST_SKIP() << "long is 32 bits here";
  const long tooBig = LONG_MAX;
  EXPECT_THROW(Status("", "", "m", tooBig), DRAVException);
  Status status;
  EXPECT_THROW(StatusWrapper(status.getVariant()).code(tooBig), DRAVException);
  EXPECT_EQ(status.getStatus().code, 0);
}

TEST(InvocationStatus, CopiesOwnTheirOwnRecord) {
  Status original("t1", "", "kept", 3);
  Status copy(original);
  EXPECT_NE(&copy.getStatus(), &original.getStatus());
  EXPECT_NE(copy.getStatus().text1, original.getStatus().text1);
  EXPECT_EQ(copy.getVariant().pvRecord, &copy.getStatus());
  StatusWrapper(original.getVariant()).message("changed");
  EXPECT_EQ(wire(copy), toHex(hex("00 00 00 03 74 31 00  00 00 00 01 00  00 00 00 05 6B 65 70 74 00  00 00 00 03")));

  Status assigned;
  assigned = original;
  EXPECT_EQ(wire(assigned), wire(original));
  EXPECT_NE(&assigned.getStatus(), &original.getStatus());
  EXPECT_EQ(assigned.getVariant().pvRecord, &assigned.getStatus()) << "the VARIANT follows the new record";
  StatusWrapper(assigned.getVariant()).code(11);
  EXPECT_EQ(assigned.getStatus().code, 11);
  EXPECT_EQ(original.getStatus().code, 3);
  const Status& itself = assigned;  // through a reference: no compiler warns
  assigned = itself;
  EXPECT_EQ(assigned.getVariant().pvRecord, &assigned.getStatus());
  EXPECT_EQ(assigned.getStatus().code, 11);
}

TEST(InvocationStatus, StatusesFreeTheirVariants) {
  Status warm("a", "b", "c", 1);  // first-use set-up is not counted
  const long before = dravtest::liveObjectAllocations();
  {
    Status status("a", "b", "c", 1);
    Status copy(status);
    Status assigned;
    assigned = status;
    EXPECT_EQ(dravtest::liveObjectAllocations(), before + 3) << "one VARIANT each";
  }
  EXPECT_EQ(dravtest::liveObjectAllocations(), before);
}

TEST(InvocationStatus, ReadingReadsNothingAndChangesNothing) {
  Status status("a", "b", "c", 9);
  const std::string before = wire(status);
  const dravtest::Bytes data = hex("01 00 00 00 05");
  DRAVDataInputStream in(data.data(), static_cast<unsigned long>(data.size()));
  const unsigned long position = in.position();
  status.readObject(in);
  EXPECT_EQ(in.position(), position);
  EXPECT_EQ(wire(status), before);
}

}  // namespace
