// SAFEARRAY as documented for Windows; the same file runs against the real
// DLLs when built for Windows.
#include <drav/platform/win32.h>

#include "support/fake_asp.h"
#include "support/task_memory.h"
#include "support/wine_host.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

namespace {

using SafeArray = dravtest::GivesBackTaskMemory;

SAFEARRAY* bytesArray(ULONG count, LONG lowerBound = 0) {
  SAFEARRAYBOUND bound = {count, lowerBound};
  return SafeArrayCreate(VT_UI1, 1, &bound);
}

std::vector<BYTE> contentOf(SAFEARRAY* array) {
  LONG lower = 0, upper = -1;
  SafeArrayGetLBound(array, 1, &lower);
  SafeArrayGetUBound(array, 1, &upper);
  void* data = nullptr;
  SafeArrayAccessData(array, &data);
  const auto* first = static_cast<const BYTE*>(data);
  std::vector<BYTE> out(first, first + (upper - lower + 1));
  SafeArrayUnaccessData(array);
  return out;
}

TEST_F(SafeArray, AnEmptyByteArrayDescribesItselfAsDocumented) {
  SAFEARRAY* array = bytesArray(0);
  ASSERT_NE(array, nullptr);
  EXPECT_EQ(array->cDims, 1);
  EXPECT_EQ(array->cbElements, 1u);
  EXPECT_EQ(array->fFeatures, FADF_HAVEVARTYPE);
  EXPECT_EQ(array->cLocks, 0u);
  LONG lower = 5, upper = 5;
  EXPECT_EQ(SafeArrayGetLBound(array, 1, &lower), S_OK);
  EXPECT_EQ(SafeArrayGetUBound(array, 1, &upper), S_OK);
  EXPECT_EQ(lower, 0);
  EXPECT_EQ(upper, -1);
  VARTYPE vt = VT_EMPTY;
  EXPECT_EQ(SafeArrayGetVartype(array, &vt), S_OK);
  EXPECT_EQ(vt, VT_UI1);
  EXPECT_EQ(SafeArrayGetDim(array), 1u);
  EXPECT_EQ(SafeArrayDestroy(array), S_OK);
}

TEST_F(SafeArray, EachElementTypeHasItsDocumentedSizeFlagsAndVartype) {
  const struct {
    VARTYPE vt;
    ULONG size;
    USHORT features;
  } types[] = {
      {VT_I1, 1, FADF_HAVEVARTYPE},       {VT_UI1, 1, FADF_HAVEVARTYPE},
      {VT_I2, 2, FADF_HAVEVARTYPE},       {VT_UI2, 2, FADF_HAVEVARTYPE},
      {VT_BOOL, 2, FADF_HAVEVARTYPE},     {VT_I4, 4, FADF_HAVEVARTYPE},
      {VT_UI4, 4, FADF_HAVEVARTYPE},      {VT_R4, 4, FADF_HAVEVARTYPE},
      {VT_ERROR, 4, FADF_HAVEVARTYPE},    {VT_INT, 4, FADF_HAVEVARTYPE},
      {VT_UINT, 4, FADF_HAVEVARTYPE},     {VT_R8, 8, FADF_HAVEVARTYPE},
      {VT_I8, 8, FADF_HAVEVARTYPE},       {VT_UI8, 8, FADF_HAVEVARTYPE},
      {VT_CY, 8, FADF_HAVEVARTYPE},       {VT_DATE, 8, FADF_HAVEVARTYPE},
      {VT_DECIMAL, 16, FADF_HAVEVARTYPE}, {VT_BSTR, sizeof(BSTR), FADF_HAVEVARTYPE | FADF_BSTR},
      {VT_VARIANT, sizeof(VARIANT), FADF_HAVEVARTYPE | FADF_VARIANT},
      {VT_UNKNOWN, sizeof(IUnknown*), FADF_HAVEIID | FADF_UNKNOWN},
      {VT_DISPATCH, sizeof(IDispatch*), FADF_HAVEIID | FADF_DISPATCH},
  };
  SAFEARRAYBOUND bound = {3, 0};
  for (const auto& t : types) {
    SCOPED_TRACE(t.vt);
    SAFEARRAY* array = SafeArrayCreate(t.vt, 1, &bound);
    ASSERT_NE(array, nullptr);
    EXPECT_EQ(array->cbElements, t.size);
    EXPECT_EQ(array->fFeatures, t.features);
    VARTYPE vt = VT_EMPTY;
    EXPECT_EQ(SafeArrayGetVartype(array, &vt), S_OK);
    EXPECT_EQ(vt, t.vt);
    if (t.features & FADF_HAVEIID) {  // the interface's IID sits in the 16 bytes before the descriptor
      const IID& iid = t.vt == VT_UNKNOWN ? IID_IUnknown : IID_IDispatch;
      EXPECT_EQ(std::memcmp(reinterpret_cast<const char*>(array) - sizeof(IID), &iid, sizeof(IID)), 0);
    }
    // Every cell starts zeroed, the last one included.
    const auto* data = static_cast<const unsigned char*>(array->pvData);
    EXPECT_EQ(std::vector<unsigned char>(data, data + 3 * t.size), std::vector<unsigned char>(3 * t.size, 0));
    EXPECT_EQ(SafeArrayDestroy(array), S_OK);
  }
  VARTYPE vt = VT_EMPTY;
  EXPECT_EQ(SafeArrayGetVartype(nullptr, &vt), E_INVALIDARG);
}

TEST_F(SafeArray, LocksCountUpTo65535AndNullIsRefused) {
  SAFEARRAY* array = bytesArray(1);
  for (ULONG i = 0; i < 0xFFFF; ++i) ASSERT_EQ(SafeArrayLock(array), S_OK) << i;
  EXPECT_EQ(SafeArrayLock(array), E_UNEXPECTED);
  EXPECT_EQ(array->cLocks, 0xFFFFu);
  LONG index = 0;
  BYTE value = 0;
  EXPECT_EQ(SafeArrayGetElement(array, &index, &value), E_UNEXPECTED) << "no lock left for the read";
  EXPECT_EQ(SafeArrayPutElement(array, &index, &value), E_UNEXPECTED);
  void* data = &value;
  EXPECT_EQ(SafeArrayAccessData(array, &data), E_UNEXPECTED);
  EXPECT_EQ(data, nullptr);
  while (array->cLocks) ASSERT_EQ(SafeArrayUnlock(array), S_OK);
  EXPECT_EQ(SafeArrayLock(nullptr), E_INVALIDARG);
  EXPECT_EQ(SafeArrayUnlock(nullptr), E_INVALIDARG);
  EXPECT_EQ(SafeArrayDestroy(array), S_OK);
}

TEST_F(SafeArray, CreateRefusesNoDimensionsAndElementTypesWithoutASize) {
  SAFEARRAYBOUND bound = {1, 0};
  EXPECT_EQ(SafeArrayCreate(VT_UI1, 0, &bound), nullptr);
  EXPECT_EQ(SafeArrayCreate(VT_EMPTY, 1, &bound), nullptr);
  EXPECT_EQ(SafeArrayCreate(VT_UI1, 1, nullptr), nullptr);
}

TEST_F(SafeArray, StringArraysAreFlaggedAndOwnCopiesOfTheirStrings) {
  SAFEARRAYBOUND bound = {2, 0};
  SAFEARRAY* array = SafeArrayCreate(VT_BSTR, 1, &bound);
  ASSERT_NE(array, nullptr);
  EXPECT_EQ(array->fFeatures, FADF_BSTR | FADF_HAVEVARTYPE);
  EXPECT_EQ(array->cbElements, sizeof(BSTR));

  BSTR first = SysAllocString(DRAV_W("replaced"));
  BSTR mine = SysAllocString(DRAV_W("xy"));
  LONG index = 1;
  ASSERT_EQ(SafeArrayPutElement(array, &index, first), S_OK);
  ASSERT_EQ(SafeArrayPutElement(array, &index, mine), S_OK);  // frees its copy of "replaced"
  SysFreeString(first);
  SysFreeString(mine);  // the array keeps its own copy
  BSTR got = nullptr;
  ASSERT_EQ(SafeArrayGetElement(array, &index, &got), S_OK);
  EXPECT_EQ(SysStringLen(got), 2u);
  EXPECT_EQ(got[1], 'y');
  SysFreeString(got);

  SAFEARRAY* copy = nullptr;
  ASSERT_EQ(SafeArrayCopy(array, &copy), S_OK);
  BSTR inCopy = nullptr;
  SafeArrayGetElement(copy, &index, &inCopy);
  EXPECT_EQ(SysStringLen(inCopy), 2u);
  SysFreeString(inCopy);

  // Shrinking frees the strings that drop out (the leak checker watches).
  SAFEARRAYBOUND one = {1, 0};
  EXPECT_EQ(SafeArrayRedim(copy, &one), S_OK);
#ifndef _WIN32
  // The bytes stay; the cell no longer points at the freed string.
  EXPECT_EQ(static_cast<BSTR*>(copy->pvData)[1], nullptr);
#endif
  EXPECT_EQ(SafeArrayDestroy(copy), S_OK);
  EXPECT_EQ(SafeArrayDestroy(array), S_OK);
}

TEST_F(SafeArray, InterfaceAndVariantArraysHoldReferencesAndCopies) {
  dravtest::CountedDispatch object;
  SAFEARRAYBOUND bound = {1, 0};
  SAFEARRAY* objects = SafeArrayCreate(VT_DISPATCH, 1, &bound);
  ASSERT_NE(objects, nullptr);
  LONG index = 0;
  ASSERT_EQ(SafeArrayPutElement(objects, &index, static_cast<IDispatch*>(&object)), S_OK);
  EXPECT_EQ(object.refCount(), 2);
  SAFEARRAY* copy = nullptr;
  ASSERT_EQ(SafeArrayCopy(objects, &copy), S_OK);
  EXPECT_EQ(object.refCount(), 3);
  EXPECT_EQ(SafeArrayDestroy(copy), S_OK);
  EXPECT_EQ(SafeArrayDestroy(objects), S_OK);
  EXPECT_EQ(object.refCount(), 1);

  SAFEARRAY* variants = SafeArrayCreate(VT_VARIANT, 1, &bound);
  VARIANT text;
  VariantInit(&text);
  text.vt = VT_BSTR;
  text.bstrVal = SysAllocString(DRAV_W("v"));
  ASSERT_EQ(SafeArrayPutElement(variants, &index, &text), S_OK);
  VariantClear(&text);
  // The destination is overwritten, not cleared: what it held stays the caller's.
  BSTR callers = SysAllocString(DRAV_W("callers"));
  VARIANT got;
  VariantInit(&got);
  got.vt = VT_BSTR;
  got.bstrVal = callers;
  ASSERT_EQ(SafeArrayGetElement(variants, &index, &got), S_OK);
  EXPECT_EQ(got.vt, VT_BSTR);
  EXPECT_EQ(got.bstrVal[0], 'v');
  EXPECT_EQ(SysStringLen(callers), 7u);
  VariantClear(&got);
  SysFreeString(callers);
  EXPECT_EQ(SafeArrayDestroy(variants), S_OK);
}

TEST_F(SafeArray, LockingGuardsRedimAndDestroyAndUnlockMustBalance) {
  SAFEARRAY* array = bytesArray(3);
  ASSERT_EQ(SafeArrayLock(array), S_OK);
  EXPECT_EQ(array->cLocks, 1u);
  SAFEARRAYBOUND bigger = {5, 0};
  EXPECT_EQ(SafeArrayRedim(array, &bigger), DISP_E_ARRAYISLOCKED);
  EXPECT_EQ(SafeArrayDestroy(array), DISP_E_ARRAYISLOCKED);
  EXPECT_EQ(SafeArrayUnlock(array), S_OK);
  EXPECT_EQ(SafeArrayUnlock(array), E_UNEXPECTED);

  void* data = nullptr;
  EXPECT_EQ(SafeArrayAccessData(array, nullptr), E_INVALIDARG);
  EXPECT_EQ(SafeArrayAccessData(nullptr, &data), E_INVALIDARG);
  EXPECT_EQ(array->cLocks, 0u);
  ASSERT_EQ(SafeArrayAccessData(array, &data), S_OK);
  EXPECT_EQ(data, array->pvData);
  EXPECT_EQ(array->cLocks, 1u);
  EXPECT_EQ(SafeArrayUnaccessData(array), S_OK);
  EXPECT_EQ(array->cLocks, 0u);
  EXPECT_EQ(SafeArrayDestroy(array), S_OK);
  EXPECT_EQ(SafeArrayDestroy(nullptr), S_OK);
}

TEST_F(SafeArray, RedimKeepsOldBytesZeroesNewOnesAndMayMoveTheLowerBound) {
  SAFEARRAY* array = bytesArray(2);
  static_cast<BYTE*>(array->pvData)[0] = 0xA1;
  static_cast<BYTE*>(array->pvData)[1] = 0xA2;
  SAFEARRAYBOUND five = {5, 0};
  ASSERT_EQ(SafeArrayRedim(array, &five), S_OK);
  EXPECT_EQ(contentOf(array), (std::vector<BYTE>{0xA1, 0xA2, 0, 0, 0}));

  SAFEARRAYBOUND shifted = {1, 7};
  ASSERT_EQ(SafeArrayRedim(array, &shifted), S_OK);
  LONG lower = 0, upper = 0;
  SafeArrayGetLBound(array, 1, &lower);
  SafeArrayGetUBound(array, 1, &upper);
  EXPECT_EQ(lower, 7);
  EXPECT_EQ(upper, 7);
  EXPECT_EQ(contentOf(array), (std::vector<BYTE>{0xA1}));
  EXPECT_EQ(SafeArrayDestroy(array), S_OK);
}

TEST_F(SafeArray, FixedSizeArraysRefuseRedim) {
  SAFEARRAY* array = bytesArray(2);
  array->fFeatures |= FADF_FIXEDSIZE;
  SAFEARRAYBOUND bigger = {4, 0};
  EXPECT_TRUE(FAILED(SafeArrayRedim(array, &bigger)));
  // The documentation names no code for this case; Wine answers as for a
  // locked array.
  EXPECT_EQ(SafeArrayRedim(array, &bigger), dravtest::runningUnderWine() ? DISP_E_ARRAYISLOCKED : E_INVALIDARG);
  EXPECT_EQ(array->rgsabound[0].cElements, 2u);
  EXPECT_EQ(SafeArrayDestroy(array), S_OK);
}

TEST_F(SafeArray, BadDimensionsAndIndexesGiveBadIndexAndTouchNothing) {
  SAFEARRAY* array = bytesArray(3, 10);
  LONG bound = 1234;
  EXPECT_EQ(SafeArrayGetLBound(array, 0, &bound), DISP_E_BADINDEX);
  EXPECT_EQ(SafeArrayGetLBound(array, 2, &bound), DISP_E_BADINDEX);
  EXPECT_EQ(SafeArrayGetUBound(array, 2, &bound), DISP_E_BADINDEX);
  EXPECT_EQ(bound, 1234);

  BYTE value = 0x55;
  for (LONG index : {9, 13, -1}) {
    SCOPED_TRACE(index);
    EXPECT_EQ(SafeArrayGetElement(array, &index, &value), DISP_E_BADINDEX);
    EXPECT_EQ(SafeArrayPutElement(array, &index, &value), DISP_E_BADINDEX);
  }
  EXPECT_EQ(value, 0x55);
  EXPECT_EQ(SafeArrayGetElement(nullptr, &bound, &value), E_INVALIDARG);
  EXPECT_EQ(SafeArrayDestroy(array), S_OK);
}

TEST_F(SafeArray, TwoDimensionsVaryTheFirstFastestAndRedimGrowsTheLast) {
  // Dimension 1: 2 elements from 1; dimension 2: 3 elements from 10.
  SAFEARRAYBOUND bounds[2] = {{2, 1}, {3, 10}};
  SAFEARRAY* array = SafeArrayCreate(VT_I4, 2, bounds);
  ASSERT_NE(array, nullptr);
  LONG lower = 0, upper = 0;
  SafeArrayGetLBound(array, 2, &lower);
  SafeArrayGetUBound(array, 2, &upper);
  EXPECT_EQ(lower, 10);
  EXPECT_EQ(upper, 12);

  LONG at[2] = {2, 11};
  LONG value = 42;
  ASSERT_EQ(SafeArrayPutElement(array, at, &value), S_OK);
  EXPECT_EQ(static_cast<LONG*>(array->pvData)[(2 - 1) + (11 - 10) * 2], 42);

  SAFEARRAYBOUND longer = {4, 10};
  ASSERT_EQ(SafeArrayRedim(array, &longer), S_OK);
  SafeArrayGetUBound(array, 2, &upper);
  EXPECT_EQ(upper, 13);
  LONG read = 0;
  EXPECT_EQ(SafeArrayGetElement(array, at, &read), S_OK);
  EXPECT_EQ(read, 42);
  LONG newest[2] = {2, 13};
  read = -1;
  EXPECT_EQ(SafeArrayGetElement(array, newest, &read), S_OK);
  EXPECT_EQ(read, 0);
  EXPECT_EQ(SafeArrayDestroy(array), S_OK);
}

TEST_F(SafeArray, CopyIsDeepUnlockedAndKeepsFeatures) {
  SAFEARRAY* array = bytesArray(3, 2);
  static_cast<BYTE*>(array->pvData)[1] = 9;
  array->fFeatures |= FADF_FIXEDSIZE;
  SafeArrayLock(array);
  SAFEARRAY* copy = nullptr;
  ASSERT_EQ(SafeArrayCopy(array, &copy), S_OK);
  EXPECT_NE(copy->pvData, array->pvData);
  EXPECT_EQ(copy->cLocks, 0u);
  // Whether a copy stays fixed-size is not documented (Wine's copy does not):
  // every other feature is kept.
  EXPECT_EQ(copy->fFeatures & ~FADF_FIXEDSIZE, array->fFeatures & ~FADF_FIXEDSIZE);
  EXPECT_EQ(contentOf(copy), (std::vector<BYTE>{0, 9, 0}));
  VARTYPE vt = VT_EMPTY;
  EXPECT_EQ(SafeArrayGetVartype(copy, &vt), S_OK);
  EXPECT_EQ(vt, VT_UI1);
  SafeArrayUnlock(array);
  EXPECT_EQ(SafeArrayDestroy(copy), S_OK);
  EXPECT_EQ(SafeArrayDestroy(array), S_OK);

  SAFEARRAY* none = reinterpret_cast<SAFEARRAY*>(&vt);
  EXPECT_EQ(SafeArrayCopy(nullptr, &none), S_OK);
  EXPECT_EQ(none, nullptr);
}

#ifndef _WIN32
// A descriptor and data its maker owns (on the stack here): read and written
// like any other, never freed, never grown, and with no hidden type to report.
TEST_F(SafeArray, ForeignDescriptorsAndDataAreUsedButNeverFreedOrGrown) {
  for (USHORT foreign : {FADF_AUTO, FADF_STATIC, FADF_EMBEDDED}) {
    SCOPED_TRACE(foreign);
    BYTE cells[4] = {1, 2, 3, 4};
    SAFEARRAY array = {};
    array.cDims = 1;
    array.fFeatures = foreign | FADF_HAVEVARTYPE;
    array.cbElements = 1;
    array.pvData = cells;
    array.rgsabound[0] = {4, 0};
    LONG index = 3;
    BYTE value = 9;
    EXPECT_EQ(SafeArrayPutElement(&array, &index, &value), S_OK);
    EXPECT_EQ(cells[3], 9);
    VARTYPE vt = VT_EMPTY;
    EXPECT_EQ(SafeArrayGetVartype(&array, &vt), E_INVALIDARG);

    SAFEARRAY* copy = nullptr;
    ASSERT_EQ(SafeArrayCopy(&array, &copy), S_OK);
    EXPECT_EQ(copy->fFeatures, 0) << "the copy owns its memory and has nothing hidden";
    EXPECT_EQ(contentOf(copy), (std::vector<BYTE>{1, 2, 3, 9}));
    EXPECT_EQ(SafeArrayDestroy(copy), S_OK);

    SAFEARRAYBOUND bigger = {5, 0}, smaller = {2, 0}, moved = {4, 1};
    EXPECT_EQ(SafeArrayRedim(&array, &bigger), E_INVALIDARG);
    EXPECT_EQ(array.rgsabound[0].cElements, 4u);
    EXPECT_EQ(SafeArrayRedim(&array, &moved), S_OK) << "the same count needs no new block";
    EXPECT_EQ(array.rgsabound[0].lLbound, 1);
    EXPECT_EQ(array.pvData, cells);
    EXPECT_EQ(SafeArrayRedim(&array, &smaller), S_OK);
    EXPECT_EQ(array.pvData, cells);
    EXPECT_EQ(SafeArrayDestroyData(&array), S_OK);
    EXPECT_EQ(array.pvData, cells);
    EXPECT_EQ(SafeArrayDestroy(&array), S_OK);  // the sanitizer reports a free of the stack
  }
  // A record array reports its type but cannot be copied here.
  SAFEARRAY records = {};
  records.cDims = 1;
  records.fFeatures = FADF_STATIC | FADF_RECORD;
  VARTYPE vt = VT_EMPTY;
  EXPECT_EQ(SafeArrayGetVartype(&records, &vt), S_OK);
  EXPECT_EQ(vt, VT_RECORD);
  SAFEARRAY* copy = &records;
  EXPECT_EQ(SafeArrayCopy(&records, &copy), E_NOTIMPL);
}

TEST_F(SafeArray, ShapesBeyond32BitsOfDataAreRefusedBeforeAllocating) {
  SAFEARRAYBOUND square[2] = {{0x10000, 0}, {0x10000, 0}};
  EXPECT_EQ(SafeArrayCreate(VT_UI1, 2, square), nullptr);
  SAFEARRAYBOUND halves = {0x80000000u, 0};
  EXPECT_EQ(SafeArrayCreate(VT_I2, 1, &halves), nullptr);
  SAFEARRAY* array = bytesArray(2);
  SAFEARRAYBOUND huge = {0xFFFFFFFFu, 0};
  array->cbElements = 2;  // as if its elements were wider: the new size no longer fits
  EXPECT_EQ(SafeArrayRedim(array, &huge), E_OUTOFMEMORY);
  array->cbElements = 1;
  EXPECT_EQ(array->rgsabound[0].cElements, 2u);
  SafeArrayDestroy(array);
  // A copy of a descriptor whose data would not fit gives up and frees the new descriptor.
  BYTE cell = 0;
  SAFEARRAY claimed = {};
  claimed.cDims = 1;
  claimed.fFeatures = FADF_STATIC;
  claimed.cbElements = 2;
  claimed.pvData = &cell;
  claimed.rgsabound[0] = {0xFFFFFFFFu, 0};
  SAFEARRAY* copy = &claimed;
  EXPECT_EQ(SafeArrayCopy(&claimed, &copy), E_OUTOFMEMORY);
  EXPECT_EQ(copy, nullptr);
}

// A string whose length prefix claims more than a BSTR may hold cannot be
// copied: putting it or copying an array that holds it fails as out of memory
// and changes nothing.
TEST_F(SafeArray, AStringThatCannotBeCopiedFailsThePutAndTheCopy) {
  struct {
    std::uint32_t prefix = 0x7FFFFFF2u;
    OLECHAR text[2] = {'x', 0};
  } forged;
  const BSTR huge = forged.text;
  SAFEARRAYBOUND bound = {2, 0};
  SAFEARRAY* array = SafeArrayCreate(VT_BSTR, 1, &bound);
  LONG index = 0;
  BSTR kept = SysAllocString(DRAV_W("kept"));
  ASSERT_EQ(SafeArrayPutElement(array, &index, kept), S_OK);
  EXPECT_EQ(SafeArrayPutElement(array, &index, huge), E_OUTOFMEMORY);
  BSTR got = nullptr;
  ASSERT_EQ(SafeArrayGetElement(array, &index, &got), S_OK);
  EXPECT_EQ(SysStringLen(got), 4u);
  SysFreeString(got);
  EXPECT_EQ(array->cLocks, 0u);

  LONG second = 1;
  static_cast<BSTR*>(array->pvData)[1] = huge;  // planted past the copying put
  SAFEARRAY* copy = array;
  EXPECT_EQ(SafeArrayCopy(array, &copy), E_OUTOFMEMORY);
  EXPECT_EQ(copy, nullptr);
  got = kept;
  EXPECT_EQ(SafeArrayGetElement(array, &second, &got), E_OUTOFMEMORY);
  static_cast<BSTR*>(array->pvData)[1] = nullptr;
  SysFreeString(kept);
  EXPECT_EQ(SafeArrayDestroy(array), S_OK);
}
#endif

TEST_F(SafeArray, UpperBoundWrapsAsA32BitLong) {
  SAFEARRAYBOUND bound = {2, 0x7FFFFFFF};
  SAFEARRAY* array = SafeArrayCreate(VT_UI1, 1, &bound);
  ASSERT_NE(array, nullptr);
  LONG upper = 0;
  EXPECT_EQ(SafeArrayGetUBound(array, 1, &upper), S_OK);
  EXPECT_EQ(upper, static_cast<LONG>(0x80000000u));
  EXPECT_EQ(SafeArrayGetUBound(array, 1, nullptr), E_INVALIDARG);
  EXPECT_EQ(SafeArrayGetLBound(nullptr, 1, &upper), E_INVALIDARG);
  EXPECT_EQ(SafeArrayDestroy(array), S_OK);
}

TEST_F(SafeArray, ReplacingAnInterfaceReleasesTheOldOneAndNullClearsTheCell) {
  dravtest::CountedDispatch first, second;
  SAFEARRAYBOUND bound = {2, 0};
  SAFEARRAY* objects = SafeArrayCreate(VT_DISPATCH, 1, &bound);
  LONG index = 1;
  ASSERT_EQ(SafeArrayPutElement(objects, &index, static_cast<IDispatch*>(&first)), S_OK);
  ASSERT_EQ(SafeArrayPutElement(objects, &index, static_cast<IDispatch*>(&second)), S_OK);
  EXPECT_EQ(first.refCount(), 1);
  EXPECT_EQ(second.refCount(), 2);
  // Shrinking releases the references in the cells that drop out.
  SAFEARRAYBOUND one = {1, 0};
  ASSERT_EQ(SafeArrayRedim(objects, &one), S_OK);
  EXPECT_EQ(second.refCount(), 1);
  ASSERT_EQ(SafeArrayRedim(objects, &bound), S_OK);
  ASSERT_EQ(SafeArrayPutElement(objects, &index, static_cast<IDispatch*>(&second)), S_OK);
  ASSERT_EQ(SafeArrayPutElement(objects, &index, nullptr), S_OK);
  EXPECT_EQ(second.refCount(), 1);
  IDispatch* got = &first;
  ASSERT_EQ(SafeArrayGetElement(objects, &index, &got), S_OK);
  EXPECT_EQ(got, nullptr);
  EXPECT_EQ(SafeArrayDestroy(objects), S_OK);
  EXPECT_FALSE(first.overReleased());
  EXPECT_FALSE(second.overReleased());

#ifndef _WIN32
  SAFEARRAY* bytes = bytesArray(1);
  LONG zero = 0;
  EXPECT_EQ(SafeArrayPutElement(bytes, &zero, nullptr), E_INVALIDARG) << "a plain cell needs a value";
  EXPECT_EQ(SafeArrayDestroy(bytes), S_OK);
#endif
}

TEST_F(SafeArray, DestroyDataDropsTheBlockButKeepsTheDescriptor) {
  SAFEARRAY* array = bytesArray(4);
  EXPECT_EQ(SafeArrayDestroyData(array), S_OK);
  EXPECT_EQ(array->pvData, nullptr);
  EXPECT_EQ(array->rgsabound[0].cElements, 4u);
#ifndef _WIN32
  LONG index = 0;
  BYTE value = 0;
  EXPECT_EQ(SafeArrayGetElement(array, &index, &value), E_UNEXPECTED);
  EXPECT_EQ(SafeArrayPutElement(array, &index, &value), E_UNEXPECTED);
  // Redim gives a descriptor without data a fresh, zeroed block.
  SAFEARRAYBOUND two = {2, 0};
  ASSERT_EQ(SafeArrayRedim(array, &two), S_OK);
  EXPECT_EQ(contentOf(array), (std::vector<BYTE>{0, 0}));
#endif
  EXPECT_EQ(SafeArrayDestroyData(nullptr), E_INVALIDARG);
  EXPECT_EQ(SafeArrayDestroy(array), S_OK);
}

}  // namespace
