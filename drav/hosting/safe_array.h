// Byte arrays (SAFEARRAYs of VT_UI1) for COM boundaries on the server side:
// an owning wrapper that keeps its array locked, a bound type laid out as a
// SAFEARRAYBOUND, and one-call helpers to make and destroy byte arrays.
//
// All array work goes through the OLE Automation functions. Failures are
// HRESULTs: returned by most members, thrown as the bare HRESULT value (catch
// (HRESULT)) by the constructors, the assignments, GetLowerBound,
// GetUpperBound and GetAt. Not thread-safe: one thread at a time.
#pragma once

#include <drav/export.h>
#include <drav/platform/win32.h>

namespace ComHelpers {

// A SAFEARRAYBOUND with accessors; a pointer to it is a SAFEARRAYBOUND*.
class DRAV_EXPORT BinarySafeArrayWrapperBound : public SAFEARRAYBOUND {
public:
  BinarySafeArrayWrapperBound() : SAFEARRAYBOUND{0, 0} {}
  BinarySafeArrayWrapperBound(ULONG count, LONG lowerBound) : SAFEARRAYBOUND{count, lowerBound} {}
  BinarySafeArrayWrapperBound(const BinarySafeArrayWrapperBound&) = default;
  BinarySafeArrayWrapperBound& operator=(const BinarySafeArrayWrapperBound&) = default;
  // count elements from 0.
  BinarySafeArrayWrapperBound& operator=(ULONG count) {
    cElements = count;
    lLbound = 0;
    return *this;
  }

  ULONG GetCount() const { return cElements; }
  ULONG SetCount(ULONG count) { return cElements = count; }
  LONG GetLowerBound() const { return lLbound; }
  LONG SetLowerBound(LONG lowerBound) { return lLbound = lowerBound; }
  // lower bound + count - 1, as a 32-bit value (lower bound - 1 when empty).
  LONG GetUpperBound() const;
};

// Owns at most one byte array and holds one lock on it while it does, so the
// data pointer stays put for direct element access.
class DRAV_EXPORT BinarySafeArrayWrapper {
public:
  BinarySafeArrayWrapper() = default;
  BinarySafeArrayWrapper(ULONG count, LONG lowerBound);
  explicit BinarySafeArrayWrapper(const SAFEARRAYBOUND& bound);
  BinarySafeArrayWrapper(const SAFEARRAYBOUND* bounds, UINT dimensions);
  // Deep copies of `source` (a null source gives an empty wrapper).
  explicit BinarySafeArrayWrapper(const SAFEARRAY* source);
  explicit BinarySafeArrayWrapper(const SAFEARRAY& source);
  BinarySafeArrayWrapper(const BinarySafeArrayWrapper& other);
  ~BinarySafeArrayWrapper();  // Destroy(), result ignored

  // The previous array is destroyed, then `source` is copied.
  BinarySafeArrayWrapper& operator=(const SAFEARRAY* source);
  BinarySafeArrayWrapper& operator=(const BinarySafeArrayWrapper& other);

  // Any array held before is destroyed first. E_OUTOFMEMORY when no array
  // could be made, else the lock result.
  HRESULT Create(ULONG count, LONG lowerBound);
  HRESULT Create(const SAFEARRAYBOUND* bounds, UINT dimensions);
  // Unlocks and destroys the array. On failure the wrapper keeps it (locked),
  // so a later Destroy can try again.
  HRESULT Destroy();
  // Destroys the current array and takes `array` over without copying, locked.
  // When it cannot be locked the wrapper stays empty and the caller keeps it.
  HRESULT Attach(const SAFEARRAY* array);
  // Unlocks the array and hands it to the caller (SafeArrayDestroy); the
  // wrapper is then empty. Null when it was empty.
  SAFEARRAY* Detach();
  // Destroys the current array and holds a locked deep copy of `source`.
  HRESULT CopyFrom(const SAFEARRAY* source);
  // A deep, unlocked copy for the caller (null when empty); E_POINTER for null target.
  HRESULT CopyTo(SAFEARRAY** target) const;

  // The owned array, still owned by the wrapper; null when empty.
  operator const SAFEARRAY*() const { return array_; }
  operator SAFEARRAY*() { return array_; }
  // Where the owned pointer lives, for out-parameters; valid while the wrapper is.
  SAFEARRAY** GetSafeArrayPtr() { return &array_; }

  UINT GetDimensions() const;             // 0 when empty
  VARTYPE GetType() const { return VT_UI1; }
  bool IsSizable() const;                 // false when empty or fixed-size
  // Bounds of a dimension counted from 0; throw the HRESULT on failure.
  LONG GetLowerBound(UINT dimension) const;
  LONG GetUpperBound(UINT dimension) const;
  // Elements of a dimension counted from 0; 0 when empty or out of range.
  ULONG GetCount(UINT dimension) const;

  // The byte at `index` of the first dimension; valid until the array is
  // resized or let go. Throws the HRESULT: DISP_E_BADINDEX outside the first
  // dimension or when another dimension has no elements (the array has no
  // cells), the bound query's failure when empty, E_UNEXPECTED without data.
  BYTE& GetAt(LONG index);
  const BYTE& GetAt(LONG index) const;
  BYTE& operator[](int index) { return GetAt(index); }
  const BYTE& operator[](int index) const { return GetAt(index); }
  BYTE& operator[](long index) { return GetAt(checkedIndex(index)); }
  const BYTE& operator[](long index) const { return GetAt(checkedIndex(index)); }
  // As GetAt, but the failure is returned. `copy` means nothing for a byte.
  HRESULT SetAt(LONG index, const BYTE& value, BOOL copy);
  // One index per dimension, first dimension first.
  HRESULT MultiDimGetAt(const LONG* indices, BYTE& value);
  HRESULT MultiDimSetAt(const LONG* indices, const BYTE& value);

  // New bounds for the last dimension; E_FAIL when empty or fixed-size. The
  // array is locked again whatever the outcome.
  HRESULT Resize(ULONG count, LONG lowerBound);
  HRESULT Resize(const SAFEARRAYBOUND* bound);
  // Append at the end of the first dimension, creating an empty array first
  // when the wrapper has none. `copy` means nothing for bytes. Only a
  // one-dimensional array grows (E_FAIL for others); a failed Add leaves the
  // array as it was.
  HRESULT Add(const BYTE& value, BOOL copy);
  HRESULT Add(ULONG count, const BYTE* values, BOOL copy);  // E_POINTER for null values with a count
  HRESULT Add(const SAFEARRAY* other);  // the first dimension of `other`; E_POINTER for null

protected:
  HRESULT Lock();
  HRESULT Unlock();

private:
  // The cell of `index` in the first dimension, without throwing.
  HRESULT locate(LONG index, BYTE*& cell) const;
  static LONG checkedIndex(long index);
  // Grows the array by `count` bytes and has fill(first new index) store them;
  // undoes the growth when either fails.
  template <typename Fill>
  HRESULT append(ULONG count, Fill fill);

  SAFEARRAY* array_ = nullptr;
};

// Byte arrays in one call. Arrays returned belong to the caller.
class DRAV_EXPORT SafeArrayHelpers {
public:
  // allocateData true: `size` zeroed bytes from index 0. false: a descriptor
  // whose first bound counts `size` but whose data pointer is null, for the
  // caller to point at a block of its own (and to reset to null before
  // destroying, unless the block came from CoTaskMemAlloc). Null on failure.
  static SAFEARRAY* allocBinaryArray(ULONG size, bool allocateData);
  // A new unlocked array, lower bound 0, holding a copy of `length` bytes of
  // `data` (none when data is null); the bytes are always copied. Throws the
  // HRESULT when the array cannot be made.
  static SAFEARRAY* createBinarySafeArray(unsigned char* data, ULONG length, bool copy);
  // SafeArrayDestroy (data block included), then array = null. A locked
  // array is not destroyed and the pointer is kept. The bool means nothing.
  static void deleteBinarySafeArray(SAFEARRAY*& array, bool);
};

namespace detail {
// True when the array's bytes can be read as one block of its first bound's
// count: one dimension of 1-byte elements, with data behind a non-zero count.
// Any other shape read that way would go past its data.
bool isByteBlock(const SAFEARRAY& array);
}  // namespace detail

}  // namespace ComHelpers
