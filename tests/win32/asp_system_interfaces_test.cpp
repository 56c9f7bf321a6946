// Where the system headers declare the ASP Request and Response interfaces
// (Windows), a real page hands over objects of the system's declaration:
// ours must be the same binary interface, same IIDs and same method slots.
// Elsewhere there is nothing to compare with and this file is empty.
#ifdef _WIN32
#include "support/fake_asp.h"

#include <gtest/gtest.h>

// After every other header: makes this file define the IIDs asptlb.h declares.
#include <initguid.h>

#include <asptlb.h>

namespace {

namespace IIS = DRAVHelpers::IIS;

// Hands an object over as a host does, as a bare interface pointer. The
// optimiser must neither follow the object's own type into the call (and
// drop the call as impossible) nor, the types being unrelated, move the
// object's construction past it: hence the volatile and the barrier.
template <typename SystemInterface>
SystemInterface* handedOver(void* object) {
  void* volatile bare = object;
  asm volatile("" ::: "memory");
  return static_cast<SystemInterface*>(bare);
}

TEST(AspSystemInterfaces, IidsAreTheSystemOnes) {
  EXPECT_TRUE(IsEqualGUID(IIS::IID_IRequest, ::IID_IRequest));
  EXPECT_TRUE(IsEqualGUID(IIS::IID_IResponse, ::IID_IResponse));
}

// Calling through the system's declaration reaches our implementation of the
// same method only when the vtable slots agree.
TEST(AspSystemInterfaces, CallsThroughTheSystemDeclarationReachTheSameMethods) {
  dravtest::FakeRequest request({1, 2, 3});
  auto* systemRequest = handedOver<::IRequest>(static_cast<IIS::IRequest*>(&request));
  LONG total = 0;
  ASSERT_EQ(systemRequest->get_TotalBytes(&total), S_OK);
  EXPECT_EQ(total, 3);
  VARIANT count;
  VariantInit(&count);
  count.vt = VT_I4;
  count.lVal = 2;
  VARIANT read;
  VariantInit(&read);
  ASSERT_EQ(systemRequest->BinaryRead(&count, &read), S_OK);
  EXPECT_EQ(count.lVal, 2);
  EXPECT_EQ(request.position(), 2u);

  dravtest::FakeResponse response;
  auto* systemResponse = handedOver<::IResponse>(static_cast<IIS::IResponse*>(&response));
  ASSERT_EQ(systemResponse->put_Buffer(VARIANT_FALSE), S_OK);
  ASSERT_EQ(systemResponse->BinaryWrite(read), S_OK);
  EXPECT_EQ(response.bufferSettings(), std::vector<VARIANT_BOOL>{VARIANT_FALSE});
  EXPECT_EQ(response.sent(), (std::vector<unsigned char>{1, 2}));
  EXPECT_EQ(VariantClear(&read), S_OK);
}

}  // namespace
#endif  // _WIN32
