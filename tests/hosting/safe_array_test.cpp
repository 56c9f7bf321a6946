// The byte-array wrapper, its bound type and the one-call helpers.
#include <drav/hosting/safe_array.h>

#include <gtest/gtest.h>

#include <climits>
#include <functional>
#include <vector>

using ComHelpers::BinarySafeArrayWrapper;
using ComHelpers::BinarySafeArrayWrapperBound;
using ComHelpers::SafeArrayHelpers;

namespace {

using Bytes = std::vector<BYTE>;

// The HRESULT a call throws, or S_OK when it throws nothing.
HRESULT thrownBy(const std::function<void()>& call) {
  try {
    call();
  } catch (HRESULT hr) {
    return hr;
  }
  return S_OK;
}

Bytes contentOf(const BinarySafeArrayWrapper& wrapper) {
  Bytes out;
  const LONG lower = wrapper.GetLowerBound(0);
  for (ULONG i = 0; i < wrapper.GetCount(0); ++i) out.push_back(wrapper.GetAt(static_cast<LONG>(lower + i)));
  return out;
}

SAFEARRAY* bytesArray(const Bytes& bytes, LONG lowerBound = 0) {
  SAFEARRAYBOUND bound = {static_cast<ULONG>(bytes.size()), lowerBound};
  SAFEARRAY* array = SafeArrayCreate(VT_UI1, 1, &bound);
  for (std::size_t i = 0; i < bytes.size(); ++i) static_cast<BYTE*>(array->pvData)[i] = bytes[i];
  return array;
}

TEST(BinarySafeArrayWrapperBound, IsASafeArrayBoundWithAccessors) {
  static_assert(sizeof(BinarySafeArrayWrapperBound) == sizeof(SAFEARRAYBOUND), "same layout");
  BinarySafeArrayWrapperBound none;
  EXPECT_EQ(none.GetCount(), 0u);
  EXPECT_EQ(none.GetLowerBound(), 0);
  EXPECT_EQ(none.GetUpperBound(), -1);

  BinarySafeArrayWrapperBound bound(3, 5);
  EXPECT_EQ(bound.GetUpperBound(), 7);
  EXPECT_EQ(bound.SetCount(4), 4u);
  EXPECT_EQ(bound.SetLowerBound(-2), -2);
  EXPECT_EQ(bound.GetUpperBound(), 1);
  bound = 9u;
  EXPECT_EQ(bound.GetCount(), 9u);
  EXPECT_EQ(bound.GetLowerBound(), 0);

  SAFEARRAY* array = SafeArrayCreate(VT_UI1, 1, &bound);
  ASSERT_NE(array, nullptr);
  EXPECT_EQ(array->rgsabound[0].cElements, 9u);
  SafeArrayDestroy(array);
}

TEST(BinarySafeArrayWrapper, HoldsOneLockWhileItOwnsAndDetachGivesItBack) {
  BinarySafeArrayWrapper wrapper(3, 0);
  SAFEARRAY* array = wrapper;
  ASSERT_NE(array, nullptr);
  EXPECT_EQ(array->cLocks, 1u);
  EXPECT_EQ(SafeArrayDestroy(array), DISP_E_ARRAYISLOCKED);

  EXPECT_EQ(wrapper.Detach(), array);
  EXPECT_EQ(static_cast<SAFEARRAY*>(wrapper), nullptr);
  EXPECT_EQ(array->cLocks, 0u);
  EXPECT_EQ(SafeArrayDestroy(array), S_OK);  // the wrapper no longer touches it
}

TEST(BinarySafeArrayWrapper, EmptyWrapperHasDefinedAnswers) {
  BinarySafeArrayWrapper empty;
  EXPECT_EQ(empty.GetType(), VT_UI1);
  EXPECT_EQ(empty.GetDimensions(), 0u);
  EXPECT_EQ(empty.GetCount(0), 0u);
  EXPECT_FALSE(empty.IsSizable());
  EXPECT_EQ(empty.Resize(4, 0), E_FAIL);
  EXPECT_EQ(empty.Destroy(), S_OK);
  EXPECT_EQ(empty.Detach(), nullptr);
  EXPECT_EQ(thrownBy([&] { empty.GetAt(0); }), E_INVALIDARG);
  EXPECT_EQ(empty.SetAt(0, 1, FALSE), E_INVALIDARG);
  SAFEARRAY* copy = reinterpret_cast<SAFEARRAY*>(&empty);
  EXPECT_EQ(empty.CopyTo(&copy), S_OK);
  EXPECT_EQ(copy, nullptr);
}

TEST(BinarySafeArrayWrapper, IndexesOutsideTheFirstDimensionAreRefused) {
  BinarySafeArrayWrapper wrapper(3, 10);
  wrapper[10] = 0xA;
  EXPECT_EQ(wrapper.SetAt(12, 0xC, FALSE), S_OK);
  EXPECT_EQ(contentOf(wrapper), (Bytes{0xA, 0, 0xC}));
  for (LONG bad : {9, 13, -1, INT32_MAX, INT32_MIN}) {
    SCOPED_TRACE(bad);
    EXPECT_EQ(thrownBy([&] { wrapper.GetAt(bad); }), DISP_E_BADINDEX);
    EXPECT_EQ(thrownBy([&] { wrapper[bad]; }), DISP_E_BADINDEX);
    EXPECT_EQ(wrapper.SetAt(bad, 1, FALSE), DISP_E_BADINDEX);
  }
  const BinarySafeArrayWrapper& view = wrapper;
  EXPECT_EQ(view[12], 0xC);
  const long huge = LONG_MAX;  // beyond 32 bits where long is wider
  EXPECT_EQ(thrownBy([&] { wrapper[huge]; }), DISP_E_BADINDEX);
}

TEST(BinarySafeArrayWrapper, ElementAccessStaysInTheFirstDimensionOfALargerArray) {
  // 2 x 3 cells: GetAt may only reach the first dimension's 2 cells.
  const SAFEARRAYBOUND bounds[2] = {{2, 0}, {3, 0}};
  BinarySafeArrayWrapper wrapper(bounds, 2);
  EXPECT_EQ(wrapper.GetDimensions(), 2u);
  EXPECT_EQ(wrapper.GetCount(1), 3u);
  EXPECT_EQ(thrownBy([&] { wrapper.GetAt(2); }), DISP_E_BADINDEX);

  const LONG at[2] = {1, 2};
  EXPECT_EQ(wrapper.MultiDimSetAt(at, 0x42), S_OK);
  BYTE value = 0;
  EXPECT_EQ(wrapper.MultiDimGetAt(at, value), S_OK);
  EXPECT_EQ(value, 0x42);
  const LONG outside[2] = {2, 0};
  EXPECT_EQ(wrapper.MultiDimGetAt(outside, value), DISP_E_BADINDEX);
}

TEST(BinarySafeArrayWrapper, AnArrayWithAnEmptyDimensionHasNoCellToReach) {
  // 64 x 0, 4 x 2 x 0 and 4 x 0 x 2: the first dimension counts cells the block does not have.
  const SAFEARRAYBOUND flat[2] = {{64, 0}, {0, 0}};
  const SAFEARRAYBOUND deep[3] = {{4, 1}, {2, 0}, {0, 0}};
  const SAFEARRAYBOUND middle[3] = {{4, 1}, {0, 0}, {2, 0}};
  struct Shape {
    const SAFEARRAYBOUND* bounds;
    UINT dimensions;
  };
  for (const Shape& shape : {Shape{flat, 2}, Shape{deep, 3}, Shape{middle, 3}}) {
    BinarySafeArrayWrapper wrapper(shape.bounds, shape.dimensions);
    const LONG first = wrapper.GetLowerBound(0);
    for (LONG index : {first, static_cast<LONG>(first + wrapper.GetCount(0) - 1)}) {
      SCOPED_TRACE(index);
      EXPECT_EQ(wrapper.SetAt(index, 0xEE, FALSE), DISP_E_BADINDEX);
      EXPECT_EQ(thrownBy([&] { wrapper.GetAt(index); }), DISP_E_BADINDEX);
      EXPECT_EQ(thrownBy([&] { wrapper[index]; }), DISP_E_BADINDEX);
      EXPECT_EQ(thrownBy([&] { wrapper[long{index}]; }), DISP_E_BADINDEX);
    }
  }
  const SAFEARRAYBOUND full[3] = {{4, 1}, {2, 0}, {1, 0}};
  BinarySafeArrayWrapper wrapper(full, 3);
  EXPECT_EQ(wrapper.SetAt(4, 0xEE, FALSE), S_OK) << "every dimension has cells: the first one is reachable";
  EXPECT_EQ(wrapper.GetAt(4), 0xEE);
}

TEST(BinarySafeArrayWrapper, BoundsOfAMissingDimensionThrowTheQueryResult) {
  BinarySafeArrayWrapper wrapper(2, 0);
  EXPECT_EQ(thrownBy([&] { wrapper.GetLowerBound(1); }), DISP_E_BADINDEX);
  EXPECT_EQ(thrownBy([&] { wrapper.GetUpperBound(1); }), DISP_E_BADINDEX);
  EXPECT_EQ(wrapper.GetCount(1), 0u);
  EXPECT_EQ(wrapper.GetUpperBound(0), 1);
}

TEST(BinarySafeArrayWrapper, AddAppendsBytesAndKeepsEarlierOnes) {
  BinarySafeArrayWrapper wrapper;
  EXPECT_EQ(wrapper.Add(BYTE(0x11), FALSE), S_OK);
  EXPECT_EQ(wrapper.GetCount(0), 1u);
  const BYTE more[] = {1, 2, 3, 4};
  EXPECT_EQ(wrapper.Add(4, more, TRUE), S_OK);
  EXPECT_EQ(contentOf(wrapper), (Bytes{0x11, 1, 2, 3, 4}));
  EXPECT_EQ(static_cast<SAFEARRAY*>(wrapper)->cLocks, 1u);

  EXPECT_EQ(wrapper.Add(0, nullptr, FALSE), S_OK);
  EXPECT_EQ(wrapper.Add(2, nullptr, FALSE), E_POINTER);
  EXPECT_EQ(wrapper.GetCount(0), 5u);
}

TEST(BinarySafeArrayWrapper, AddOfAnotherArrayCopiesItsFirstDimensionAndLeavesItAlone) {
  SAFEARRAY* other = bytesArray({7, 8, 9}, 5);
  BinarySafeArrayWrapper wrapper(1, 0);
  ASSERT_EQ(wrapper.Add(other), S_OK);
  EXPECT_EQ(contentOf(wrapper), (Bytes{0, 7, 8, 9}));
  EXPECT_EQ(other->cLocks, 0u);
  EXPECT_EQ(SafeArrayDestroy(other), S_OK);

  ASSERT_EQ(wrapper.Add(static_cast<SAFEARRAY*>(wrapper)), S_OK);  // appending itself doubles it
  EXPECT_EQ(contentOf(wrapper), (Bytes{0, 7, 8, 9, 0, 7, 8, 9}));
  EXPECT_EQ(wrapper.Add(static_cast<const SAFEARRAY*>(nullptr)), E_POINTER);
}

TEST(BinarySafeArrayWrapper, AddBeyondFourGigaElementsIsRefusedBeforeGrowing) {
  // 0x20 + 0xFFFFFFF0 wraps to 0x10 in 32 bits: no shrinking to that, no reading the other.
  BinarySafeArrayWrapper wrapper(0x20, 0);
  wrapper[0x1F] = 0x5A;
  SAFEARRAY* huge = SafeArrayHelpers::allocBinaryArray(0xFFFFFFF0u, false);
  EXPECT_EQ(wrapper.Add(huge), E_OUTOFMEMORY);
  EXPECT_EQ(wrapper.GetCount(0), 0x20u);
  EXPECT_EQ(wrapper.GetAt(0x1F), 0x5A);
  EXPECT_EQ(huge->cLocks, 0u);
  SafeArrayHelpers::deleteBinarySafeArray(huge, false);
}

TEST(BinarySafeArrayWrapper, AddToAMultiDimensionalArrayIsRefusedAndChangesNothing) {
  const SAFEARRAYBOUND bounds[2] = {{2, 0}, {5, 0}};
  BinarySafeArrayWrapper wrapper(bounds, 2);
  const LONG corner[2] = {1, 4};
  ASSERT_EQ(wrapper.MultiDimSetAt(corner, 0x42), S_OK);
  SAFEARRAY* other = bytesArray({7, 8});
  const BYTE two[] = {1, 2};
  EXPECT_EQ(wrapper.Add(BYTE(3), FALSE), E_FAIL);
  EXPECT_EQ(wrapper.Add(2, two, FALSE), E_FAIL);
  EXPECT_EQ(wrapper.Add(other), E_FAIL);
  EXPECT_EQ(wrapper.GetCount(0), 2u);
  EXPECT_EQ(wrapper.GetCount(1), 5u);
  BYTE value = 0;
  EXPECT_EQ(wrapper.MultiDimGetAt(corner, value), S_OK);
  EXPECT_EQ(value, 0x42);
  EXPECT_EQ(static_cast<SAFEARRAY*>(wrapper)->cLocks, 1u);
  EXPECT_EQ(other->cLocks, 0u);
  EXPECT_EQ(SafeArrayDestroy(other), S_OK);
}

TEST(BinarySafeArrayWrapper, AFailedAddLeavesTheArrayAsItWas) {
  BinarySafeArrayWrapper wrapper(2, 3);
  wrapper[3] = 1;
  wrapper[4] = 2;
  // A count of 3 with no data behind it: nothing can be read from it.
  SAFEARRAY* bare = SafeArrayHelpers::allocBinaryArray(3, false);
  EXPECT_EQ(wrapper.Add(bare), E_UNEXPECTED);
  EXPECT_EQ(contentOf(wrapper), (Bytes{1, 2}));
  EXPECT_EQ(wrapper.GetLowerBound(0), 3);
  EXPECT_EQ(bare->cLocks, 0u);
  SafeArrayHelpers::deleteBinarySafeArray(bare, false);

  // Someone else's lock forbids growing: refused, nothing changed, both locks kept.
  SAFEARRAY* array = wrapper;
  ASSERT_EQ(SafeArrayLock(array), S_OK);
  const BYTE more[] = {9, 9};
  EXPECT_EQ(wrapper.Add(2, more, FALSE), DISP_E_ARRAYISLOCKED);
  EXPECT_EQ(wrapper.Add(BYTE(9), FALSE), DISP_E_ARRAYISLOCKED);
  EXPECT_EQ(array->cLocks, 2u);
  EXPECT_EQ(contentOf(wrapper), (Bytes{1, 2}));
  ASSERT_EQ(SafeArrayUnlock(array), S_OK);
  EXPECT_EQ(wrapper.Add(2, more, FALSE), S_OK);
  EXPECT_EQ(contentOf(wrapper), (Bytes{1, 2, 9, 9}));
}

TEST(BinarySafeArrayWrapper, FixedSizeArraysCannotBeResized) {
  SAFEARRAY* fixed = bytesArray({1, 2});
  fixed->fFeatures |= FADF_FIXEDSIZE;
  BinarySafeArrayWrapper wrapper;
  ASSERT_EQ(wrapper.Attach(fixed), S_OK);
  EXPECT_FALSE(wrapper.IsSizable());
  EXPECT_EQ(wrapper.Resize(5, 0), E_FAIL);
  EXPECT_EQ(wrapper.Add(BYTE(3), FALSE), E_FAIL);
  EXPECT_EQ(contentOf(wrapper), (Bytes{1, 2}));
  EXPECT_EQ(fixed->cLocks, 1u);
}

TEST(BinarySafeArrayWrapper, ResizeKeepsTheLockAndMayMoveTheLowerBound) {
  BinarySafeArrayWrapper wrapper(2, 0);
  wrapper[1] = 5;
  ASSERT_EQ(wrapper.Resize(4, 3), S_OK);
  EXPECT_EQ(wrapper.GetLowerBound(0), 3);
  EXPECT_EQ(contentOf(wrapper), (Bytes{0, 5, 0, 0}));
  EXPECT_EQ(static_cast<SAFEARRAY*>(wrapper)->cLocks, 1u);
}

TEST(BinarySafeArrayWrapper, CopiesAreDeepAndAssignmentToItselfKeepsTheContent) {
  SAFEARRAY* source = bytesArray({1, 2, 3});
  BinarySafeArrayWrapper copied(source);
  EXPECT_NE(static_cast<SAFEARRAY*>(copied), source);
  copied[0] = 9;
  EXPECT_EQ(static_cast<BYTE*>(source->pvData)[0], 1);

  BinarySafeArrayWrapper second(copied);
  const BinarySafeArrayWrapper& itself = second;  // through a reference: no compiler warns
  second = itself;
  EXPECT_EQ(contentOf(second), (Bytes{9, 2, 3}));
  second = source;
  EXPECT_EQ(contentOf(second), (Bytes{1, 2, 3}));
  EXPECT_EQ(source->cLocks, 0u);

  SAFEARRAY* out = nullptr;
  EXPECT_EQ(second.CopyTo(nullptr), E_POINTER);
  ASSERT_EQ(second.CopyTo(&out), S_OK);
  EXPECT_EQ(out->cLocks, 0u);
  EXPECT_EQ(SafeArrayDestroy(out), S_OK);
  EXPECT_EQ(SafeArrayDestroy(source), S_OK);
}

TEST(BinarySafeArrayWrapper, DestroyThatFailsKeepsTheArrayForALaterTry) {
  BinarySafeArrayWrapper wrapper(2, 0);
  SAFEARRAY* array = wrapper;
  SafeArrayLock(array);  // someone else's lock
  EXPECT_EQ(wrapper.Destroy(), DISP_E_ARRAYISLOCKED);
  EXPECT_EQ(static_cast<SAFEARRAY*>(wrapper), array);
  EXPECT_EQ(array->cLocks, 2u);
  SafeArrayUnlock(array);
  EXPECT_EQ(wrapper.Destroy(), S_OK);
  EXPECT_EQ(static_cast<SAFEARRAY*>(wrapper), nullptr);
}

TEST(BinarySafeArrayWrapper, CreateOnAFullWrapperReplacesTheOldArray) {
  BinarySafeArrayWrapper wrapper(2, 0);
  ASSERT_EQ(wrapper.Create(5, 1), S_OK);  // the first array is destroyed, not leaked
  EXPECT_EQ(wrapper.GetCount(0), 5u);
  EXPECT_EQ(wrapper.GetLowerBound(0), 1);
}

TEST(SafeArrayHelpers, CreateBinarySafeArrayCopiesTheBytesIntoAnUnlockedArray) {
  unsigned char data[] = {0xDE, 0xAD, 0x01};
  SAFEARRAY* array = SafeArrayHelpers::createBinarySafeArray(data, 3, false);
  LONG lower = -1, upper = -1;
  SafeArrayGetLBound(array, 1, &lower);
  SafeArrayGetUBound(array, 1, &upper);
  EXPECT_EQ(lower, 0);
  EXPECT_EQ(upper, 2);
  EXPECT_EQ(Bytes(static_cast<BYTE*>(array->pvData), static_cast<BYTE*>(array->pvData) + 3), Bytes(data, data + 3));
  EXPECT_NE(array->pvData, static_cast<void*>(data));
  EXPECT_EQ(SafeArrayDestroy(array), S_OK);

  for (SAFEARRAY* empty : {SafeArrayHelpers::createBinarySafeArray(nullptr, 10, true),
                           SafeArrayHelpers::createBinarySafeArray(data, 0, true)}) {
    EXPECT_EQ(empty->rgsabound[0].cElements, 0u);
    EXPECT_EQ(empty->rgsabound[0].lLbound, 0);
    SafeArrayHelpers::deleteBinarySafeArray(empty, true);
    EXPECT_EQ(empty, nullptr);
  }
}

TEST(SafeArrayHelpers, AllocWithoutDataLeavesTheDataPointerToTheCaller) {
  SAFEARRAY* bare = SafeArrayHelpers::allocBinaryArray(100, false);
  ASSERT_NE(bare, nullptr);
  EXPECT_EQ(bare->rgsabound[0].cElements, 100u);
  EXPECT_EQ(bare->pvData, nullptr);
  BinarySafeArrayWrapper wrapper;
  ASSERT_EQ(wrapper.Attach(bare), S_OK);
  EXPECT_EQ(thrownBy([&] { wrapper.GetAt(0); }), E_UNEXPECTED);  // no data behind the count
  wrapper.Detach();
  SafeArrayHelpers::deleteBinarySafeArray(bare, false);
  EXPECT_EQ(bare, nullptr);

  SAFEARRAY* full = SafeArrayHelpers::allocBinaryArray(4, true);
  EXPECT_EQ(Bytes(static_cast<BYTE*>(full->pvData), static_cast<BYTE*>(full->pvData) + 4), Bytes(4, 0));
  SafeArrayHelpers::deleteBinarySafeArray(full, true);
}

TEST(SafeArrayHelpers, DeleteKeepsTheArrayOfALockedArray) {
  SAFEARRAY* array = SafeArrayHelpers::allocBinaryArray(1, true);
  SafeArrayLock(array);
  SAFEARRAY* kept = array;
  SafeArrayHelpers::deleteBinarySafeArray(kept, true);
  EXPECT_EQ(kept, array);
  SafeArrayUnlock(array);
  SafeArrayHelpers::deleteBinarySafeArray(kept, true);
  EXPECT_EQ(kept, nullptr);
}

}  // namespace
