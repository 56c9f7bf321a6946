// An application needs nothing but the umbrella header to build VARIANTs and
// byte arrays for a bridge.
#include <drav/dravCommon.h>

#include <gtest/gtest.h>

namespace {

TEST(UmbrellaHeader, BringsTheComTypesAndTheHostingHelpers) {
  VARIANT value;
  VariantInit(&value);
  DRAVVar(std::string("x")).toVariant(value);
  EXPECT_EQ(value.vt, VT_BSTR);
  EXPECT_EQ(VariantClear(&value), S_OK);

  ComHelpers::BinarySafeArrayWrapper bytes(2, 0);
  bytes[1] = 7;
  SAFEARRAY* array = bytes.Detach();
  EXPECT_EQ(SafeArrayDestroy(array), S_OK);

  DRAVInvocation::Bridge::Status status;
  EXPECT_EQ(status.getVariant().vt, VT_BYREF | VT_RECORD);
}

}  // namespace
