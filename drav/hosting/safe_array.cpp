#include <drav/hosting/safe_array.h>

#include <drav/common/wire_width.h>

#include <cstdint>
#include <cstring>

namespace ComHelpers {

namespace {

// The OLE functions take non-const pointers for arguments they only read.
SAFEARRAY* mutableArray(const SAFEARRAY* array) { return const_cast<SAFEARRAY*>(array); }

void throwIfFailed(HRESULT hr) {
  if (FAILED(hr)) throw hr;
}

// Elements of dimension `dimension` (from 1) of any array; 0 when unreadable.
ULONG countOf(SAFEARRAY* array, UINT dimension) {
  LONG lower = 0, upper = 0;
  if (FAILED(SafeArrayGetLBound(array, dimension, &lower)) || FAILED(SafeArrayGetUBound(array, dimension, &upper)))
    return 0;
  return static_cast<ULONG>(std::int64_t(upper) - lower + 1);
}

// False when some dimension is empty: the array then has no cell at all,
// whatever the first dimension counts.
bool hasCells(const SAFEARRAY& array) {
  for (USHORT i = 0; i < array.cDims; ++i)
    if (array.rgsabound[i].cElements == 0) return false;
  return true;
}

}  // namespace

LONG BinarySafeArrayWrapperBound::GetUpperBound() const {
  return static_cast<LONG>(static_cast<std::uint32_t>(std::int64_t(lLbound) + cElements - 1));
}

// --- Construction and ownership ---------------------------------------------------

BinarySafeArrayWrapper::BinarySafeArrayWrapper(ULONG count, LONG lowerBound) {
  throwIfFailed(Create(count, lowerBound));
}

BinarySafeArrayWrapper::BinarySafeArrayWrapper(const SAFEARRAYBOUND& bound) { throwIfFailed(Create(&bound, 1)); }

BinarySafeArrayWrapper::BinarySafeArrayWrapper(const SAFEARRAYBOUND* bounds, UINT dimensions) {
  throwIfFailed(Create(bounds, dimensions));
}

BinarySafeArrayWrapper::BinarySafeArrayWrapper(const SAFEARRAY* source) { throwIfFailed(CopyFrom(source)); }

BinarySafeArrayWrapper::BinarySafeArrayWrapper(const SAFEARRAY& source) { throwIfFailed(CopyFrom(&source)); }

BinarySafeArrayWrapper::BinarySafeArrayWrapper(const BinarySafeArrayWrapper& other) {
  throwIfFailed(CopyFrom(other.array_));
}

BinarySafeArrayWrapper::~BinarySafeArrayWrapper() { Destroy(); }

BinarySafeArrayWrapper& BinarySafeArrayWrapper::operator=(const SAFEARRAY* source) {
  throwIfFailed(CopyFrom(source));
  return *this;
}

BinarySafeArrayWrapper& BinarySafeArrayWrapper::operator=(const BinarySafeArrayWrapper& other) {
  throwIfFailed(CopyFrom(other.array_));
  return *this;
}

HRESULT BinarySafeArrayWrapper::Create(ULONG count, LONG lowerBound) {
  const SAFEARRAYBOUND bound = {count, lowerBound};
  return Create(&bound, 1);
}

HRESULT BinarySafeArrayWrapper::Create(const SAFEARRAYBOUND* bounds, UINT dimensions) {
  HRESULT hr = Destroy();  // never drop an array we hold
  if (FAILED(hr)) return hr;
  array_ = SafeArrayCreate(VT_UI1, dimensions, const_cast<SAFEARRAYBOUND*>(bounds));
  if (!array_) return E_OUTOFMEMORY;
  if (FAILED(hr = Lock())) {
    SafeArrayDestroy(array_);
    array_ = nullptr;
  }
  return hr;
}

HRESULT BinarySafeArrayWrapper::Destroy() {
  if (!array_) return S_OK;
  HRESULT hr = Unlock();
  if (FAILED(hr)) return hr;
  if (FAILED(hr = SafeArrayDestroy(array_))) {
    Lock();  // someone else holds a lock: keep ours too, as the invariant says
    return hr;
  }
  array_ = nullptr;
  return S_OK;
}

HRESULT BinarySafeArrayWrapper::Attach(const SAFEARRAY* array) {
  if (array && array == array_) return S_OK;
  HRESULT hr = Destroy();
  if (FAILED(hr) || !array) return hr;
  array_ = mutableArray(array);
  if (FAILED(hr = Lock())) array_ = nullptr;  // not ours after all: the caller keeps it
  return hr;
}

SAFEARRAY* BinarySafeArrayWrapper::Detach() {
  SAFEARRAY* array = array_;
  if (array) Unlock();
  array_ = nullptr;
  return array;
}

HRESULT BinarySafeArrayWrapper::CopyFrom(const SAFEARRAY* source) {
  if (source && source == array_) return S_OK;  // already a copy of itself
  HRESULT hr = Destroy();
  if (FAILED(hr)) return hr;
  if (FAILED(hr = SafeArrayCopy(mutableArray(source), &array_))) return hr;
  if (array_ && FAILED(hr = Lock())) {
    SafeArrayDestroy(array_);
    array_ = nullptr;
  }
  return hr;
}

HRESULT BinarySafeArrayWrapper::CopyTo(SAFEARRAY** target) const {
  if (!target) return E_POINTER;
  return SafeArrayCopy(array_, target);
}

HRESULT BinarySafeArrayWrapper::Lock() { return SafeArrayLock(array_); }
HRESULT BinarySafeArrayWrapper::Unlock() { return SafeArrayUnlock(array_); }

// --- Shape ------------------------------------------------------------------------

UINT BinarySafeArrayWrapper::GetDimensions() const { return SafeArrayGetDim(array_); }

bool BinarySafeArrayWrapper::IsSizable() const { return array_ && !(array_->fFeatures & FADF_FIXEDSIZE); }

LONG BinarySafeArrayWrapper::GetLowerBound(UINT dimension) const {
  LONG bound = 0;
  throwIfFailed(SafeArrayGetLBound(array_, dimension + 1, &bound));
  return bound;
}

LONG BinarySafeArrayWrapper::GetUpperBound(UINT dimension) const {
  LONG bound = 0;
  throwIfFailed(SafeArrayGetUBound(array_, dimension + 1, &bound));
  return bound;
}

ULONG BinarySafeArrayWrapper::GetCount(UINT dimension) const { return countOf(array_, dimension + 1); }

// --- Elements -----------------------------------------------------------------------

HRESULT BinarySafeArrayWrapper::locate(LONG index, BYTE*& cell) const {
  LONG lower = 0;
  const HRESULT hr = SafeArrayGetLBound(array_, 1, &lower);
  if (FAILED(hr)) return hr;
  const std::int64_t offset = std::int64_t(index) - lower;
  // Within the first dimension, and so within the cells when every dimension has some.
  if (offset < 0 || offset >= std::int64_t(countOf(array_, 1)) || !hasCells(*array_)) return DISP_E_BADINDEX;
  if (!array_->pvData) return E_UNEXPECTED;
  cell = static_cast<BYTE*>(array_->pvData) + offset;
  return S_OK;
}

LONG BinarySafeArrayWrapper::checkedIndex(long index) {
  if (DRAV::detail::outsideInt32(index)) throw DISP_E_BADINDEX;
  return static_cast<LONG>(index);
}

BYTE& BinarySafeArrayWrapper::GetAt(LONG index) {
  BYTE* cell = nullptr;
  throwIfFailed(locate(index, cell));
  return *cell;
}

const BYTE& BinarySafeArrayWrapper::GetAt(LONG index) const {
  BYTE* cell = nullptr;
  throwIfFailed(locate(index, cell));
  return *cell;
}

HRESULT BinarySafeArrayWrapper::SetAt(LONG index, const BYTE& value, BOOL) {
  BYTE* cell = nullptr;
  const HRESULT hr = locate(index, cell);
  if (SUCCEEDED(hr)) *cell = value;
  return hr;
}

HRESULT BinarySafeArrayWrapper::MultiDimGetAt(const LONG* indices, BYTE& value) {
  return SafeArrayGetElement(array_, const_cast<LONG*>(indices), &value);
}

HRESULT BinarySafeArrayWrapper::MultiDimSetAt(const LONG* indices, const BYTE& value) {
  BYTE copy = value;
  return SafeArrayPutElement(array_, const_cast<LONG*>(indices), &copy);
}

// --- Growing --------------------------------------------------------------------------

HRESULT BinarySafeArrayWrapper::Resize(ULONG count, LONG lowerBound) {
  SAFEARRAYBOUND bound = {count, lowerBound};
  return Resize(&bound);
}

HRESULT BinarySafeArrayWrapper::Resize(const SAFEARRAYBOUND* bound) {
  if (!IsSizable()) return E_FAIL;
  HRESULT hr = Unlock();
  if (FAILED(hr)) return hr;
  const HRESULT redimmed = SafeArrayRedim(array_, const_cast<SAFEARRAYBOUND*>(bound));
  hr = Lock();
  return FAILED(redimmed) ? redimmed : hr;
}

template <typename Fill>
HRESULT BinarySafeArrayWrapper::append(ULONG count, Fill fill) {
  const bool created = !array_;
  HRESULT hr = created ? Create(ULONG{0}, LONG{0}) : S_OK;
  if (FAILED(hr)) return hr;
  LONG lower = 0;
  // SafeArrayRedim moves the last dimension: only with one is that the first.
  if (array_->cDims != 1) {
    hr = E_FAIL;
  } else if (SUCCEEDED(hr = SafeArrayGetLBound(array_, 1, &lower))) {
    const ULONG old = GetCount(0);
    if (count > 0xFFFFFFFFu - old) {
      hr = E_OUTOFMEMORY;
    } else if (SUCCEEDED(hr = Resize(old + count, lower)) && count) {
      if (FAILED(hr = fill(static_cast<LONG>(std::int64_t(lower) + old)))) Resize(old, lower);  // shrinking keeps the rest
    }
  }
  if (FAILED(hr) && created) Destroy();
  return hr;
}

HRESULT BinarySafeArrayWrapper::Add(const BYTE& value, BOOL copy) { return Add(1, &value, copy); }

HRESULT BinarySafeArrayWrapper::Add(ULONG count, const BYTE* values, BOOL) {
  if (count && !values) return E_POINTER;
  return append(count, [&](LONG first) {
    // The new bytes follow the old ones in the only dimension.
    BYTE* start = nullptr;
    const HRESULT hr = locate(first, start);
    if (SUCCEEDED(hr)) std::memcpy(start, values, count);
    return hr;
  });
}

HRESULT BinarySafeArrayWrapper::Add(const SAFEARRAY* other) {
  if (!other) return E_POINTER;
  const ULONG count = countOf(mutableArray(other), 1);
  const bool self = other == array_;
  return append(count, [&](LONG first) {
    // Hold the other array locked while reading it; it stays its owner's.
    BinarySafeArrayWrapper source;
    HRESULT hr = self ? S_OK : source.Attach(other);
    const BinarySafeArrayWrapper& from = self ? *this : source;
    LONG otherLower = 0;
    if (SUCCEEDED(hr)) hr = SafeArrayGetLBound(mutableArray(other), 1, &otherLower);
    for (ULONG i = 0; i < count && SUCCEEDED(hr); ++i) {
      BYTE* cell = nullptr;
      hr = from.locate(static_cast<LONG>(otherLower + std::int64_t(i)), cell);
      if (SUCCEEDED(hr)) hr = SetAt(static_cast<LONG>(first + std::int64_t(i)), *cell, FALSE);
    }
    source.Detach();
    return hr;
  });
}

bool detail::isByteBlock(const SAFEARRAY& array) {
  return array.cDims == 1 && array.cbElements == 1 && (array.rgsabound[0].cElements == 0 || array.pvData);
}

// --- SafeArrayHelpers -----------------------------------------------------------------

SAFEARRAY* SafeArrayHelpers::allocBinaryArray(ULONG size, bool allocateData) {
  SAFEARRAYBOUND bound = {allocateData ? size : 0, 0};
  SAFEARRAY* array = SafeArrayCreate(VT_UI1, 1, &bound);
  if (!array || allocateData) return array;
  SafeArrayDestroyData(array);  // the empty block would be lost when the caller sets its own
  array->rgsabound[0].cElements = size;
  array->pvData = nullptr;
  return array;
}

SAFEARRAY* SafeArrayHelpers::createBinarySafeArray(unsigned char* data, ULONG length, bool) {
  // One array of the final size: the same result as growing an empty one, in one allocation.
  SAFEARRAYBOUND bound = {data ? length : 0, 0};
  SAFEARRAY* array = SafeArrayCreate(VT_UI1, 1, &bound);
  if (!array) throw E_OUTOFMEMORY;
  if (bound.cElements) std::memcpy(array->pvData, data, bound.cElements);
  return array;
}

void SafeArrayHelpers::deleteBinarySafeArray(SAFEARRAY*& array, bool) {
  if (SUCCEEDED(SafeArrayDestroy(array))) array = nullptr;
}

}  // namespace ComHelpers
