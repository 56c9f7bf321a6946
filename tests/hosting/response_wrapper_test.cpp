// Writing an answer through a response object: raw chunks, the head of a
// binary value, the status, buffering, reference counting and failing hosts.
#include <drav/hosting/response_wrapper.h>

#include <gtest/gtest.h>

#include "support/bytes.h"
#include "support/capture_trace.h"
#include "support/fake_asp.h"

using DRAVHelpers::IIS::ResponseWrapper;
using DRAVInvocation::Bridge::Status;
using DRAVInvocation::Bridge::StatusWrapper;
using dravtest::FakeResponse;
using dravtest::hex;
using dravtest::withMarker;

namespace {

using Bytes = std::vector<unsigned char>;

TEST(ResponseWrapper, TurnsBufferingOffAndHoldsOneReference) {
  FakeResponse response;
  {
    ResponseWrapper wrapper(&response);
    EXPECT_EQ(response.bufferSettings(), (std::vector<VARIANT_BOOL>{VARIANT_FALSE}));
    EXPECT_EQ(response.refCount(), 2);
  }
  EXPECT_EQ(response.refCount(), 1);
  EXPECT_FALSE(response.overReleased());
}

TEST(ResponseWrapper, ChunksGoOutAsTheyAreOneWriteEach) {
  FakeResponse response;
  ResponseWrapper wrapper(&response);
  unsigned char first[] = {1, 2, 3};
  unsigned char second[] = {0xFF};
  EXPECT_TRUE(wrapper.WriteBufferChunk(first, 3));
  EXPECT_TRUE(wrapper.WriteBufferChunk(second, 1));
  EXPECT_TRUE(wrapper.WriteBufferChunk(first, 0));
  EXPECT_EQ(response.writes(), (std::vector<Bytes>{{1, 2, 3}, {0xFF}, {}}));
  EXPECT_EQ(first[0], 1);  // only read
}

TEST(ResponseWrapper, TheHeadOfABinaryValueIsMarkerTagAndSize) {
  FakeResponse response;
  ResponseWrapper wrapper(&response);
  EXPECT_TRUE(wrapper.WriteBufferSize(5));
  EXPECT_TRUE(wrapper.WriteBufferSize(0x01020304));
  ASSERT_EQ(response.writes().size(), 2u);
  EXPECT_EQ(response.writes()[0], withMarker(hex("00 03 00 00 00 05")));
  EXPECT_EQ(response.writes()[1], withMarker(hex("00 03 01 02 03 04")));
  EXPECT_EQ(response.writes()[0].front(), DRAV::hostByteOrderMarker());
}

TEST(ResponseWrapper, TheStatusContinuesTheBodyWithoutAMarker) {
  FakeResponse response;
  ResponseWrapper wrapper(&response);
  Status status;
  EXPECT_TRUE(wrapper.WriteStatus(StatusWrapper(status.getVariant())));
  EXPECT_EQ(response.sent(), hex("00 00 00 01 00  00 00 00 01 00"
                                 "00 00 00 12 6E 6F 20 65 72 72 6F 72 20 64 65 74 65 63 74 65 64 00"
                                 "00 00 00 00"));

  StatusWrapper changed(status.getVariant());
  changed.code(7);
  changed.message("x");
  EXPECT_TRUE(wrapper.WriteStatus(changed));
  EXPECT_EQ(response.writes()[1], hex("00 00 00 01 00  00 00 00 01 00  00 00 00 02 78 00  00 00 00 07"));
}

TEST(ResponseWrapper, AVariantWithoutAStatusWritesNothing) {
  dravtest::CaptureTrace trace;
  FakeResponse response;
  ResponseWrapper wrapper(&response);
  VARIANT number;
  VariantInit(&number);
  number.vt = VT_I4;
  EXPECT_FALSE(wrapper.WriteStatus(StatusWrapper(number)));
  EXPECT_TRUE(response.writes().empty());
  EXPECT_TRUE(trace.contains("no status written"));
}

TEST(ResponseWrapper, FailedWritesReturnFalse) {
  dravtest::CaptureTrace trace;
  FakeResponse response;
  response.failWrites = true;
  ResponseWrapper wrapper(&response);
  unsigned char byte = 1;
  Status status;
  EXPECT_FALSE(wrapper.WriteBufferChunk(&byte, 1));
  EXPECT_FALSE(wrapper.WriteBufferSize(1));
  EXPECT_FALSE(wrapper.WriteStatus(StatusWrapper(status.getVariant())));
  EXPECT_TRUE(trace.contains("BinaryWrite failed (0x80004005)"));
}

TEST(ResponseWrapper, MissingDataOrResponseIsRefusedNotReportedAsSent) {
  dravtest::CaptureTrace trace;
  FakeResponse response;
  ResponseWrapper wrapper(&response);
  EXPECT_FALSE(wrapper.WriteBufferChunk(nullptr, 4));
  EXPECT_TRUE(response.writes().empty());

  dravtest::CountedDispatch notAResponse;
  {
    ResponseWrapper without(&notAResponse);
    unsigned char byte = 1;
    EXPECT_FALSE(without.WriteBufferChunk(&byte, 1));
    EXPECT_FALSE(without.WriteBufferSize(1));
  }
  EXPECT_EQ(notAResponse.refCount(), 1);
  ResponseWrapper none(nullptr);
  EXPECT_FALSE(none.WriteBufferSize(1));
}

TEST(ResponseWrapper, AResponseObjectThatAnswersWithoutAPointerWritesNothing) {
  dravtest::CaptureTrace trace;
  dravtest::EmptyHandedDispatch liar;
  ResponseWrapper wrapper(&liar);
  EXPECT_TRUE(trace.contains("ResponseWrapper: the response object offers no IResponse; nothing will be written"));
  EXPECT_FALSE(wrapper.WriteBufferSize(1));
}

}  // namespace
