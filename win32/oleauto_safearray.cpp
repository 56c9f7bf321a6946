// SAFEARRAY: descriptors, data blocks, locking, bounds and elements.
//
// A descriptor made here sits 16 bytes into its allocation; the hidden bytes
// before it hold the element VARTYPE (the 4 bytes just before, with
// FADF_HAVEVARTYPE) or the interface IID (all 16, with FADF_HAVEIID).
// Descriptors flagged AUTO, STATIC or EMBEDDED belong to their maker: their
// memory, and their hidden bytes, are never touched.
#include <win32/oleauto.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace {

constexpr std::size_t kHidden = 16;
constexpr std::uint64_t kMaxDataBytes = 0xFFFFFFFFu;  // data sizes are counted in 32 bits
constexpr ULONG kMaxLocks = 0xFFFF;
constexpr USHORT kForeignMemory = FADF_AUTO | FADF_STATIC | FADF_EMBEDDED;

enum class Kind { Plain, Bstr, Variant, Interface };

// Indexing through a pointer: rgsabound is declared with one entry but has cDims.
SAFEARRAYBOUND* boundsOf(SAFEARRAY* array) { return array->rgsabound; }
unsigned char* hiddenOf(SAFEARRAY* array) { return reinterpret_cast<unsigned char*>(array) - kHidden; }
bool ownsMemory(const SAFEARRAY* array) { return !(array->fFeatures & kForeignMemory); }

Kind kindOf(const SAFEARRAY* array) {
  if (array->fFeatures & FADF_BSTR) return Kind::Bstr;
  if (array->fFeatures & FADF_VARIANT) return Kind::Variant;
  if (array->fFeatures & (FADF_UNKNOWN | FADF_DISPATCH)) return Kind::Interface;
  return Kind::Plain;
}

ULONG elementSize(VARTYPE vt) {
  switch (vt) {
    case VT_I1: case VT_UI1: return 1;
    case VT_I2: case VT_UI2: case VT_BOOL: return 2;
    case VT_I4: case VT_UI4: case VT_R4: case VT_ERROR: case VT_INT: case VT_UINT: return 4;
    case VT_R8: case VT_I8: case VT_UI8: case VT_CY: case VT_DATE: return 8;
    case VT_DECIMAL: return sizeof(DECIMAL);
    case VT_BSTR: return sizeof(BSTR);
    case VT_UNKNOWN: case VT_DISPATCH: return sizeof(IUnknown*);
    case VT_VARIANT: return sizeof(VARIANT);
    default: return 0;
  }
}

// Saturates instead of wrapping, so an absurd shape reads as too large.
std::uint64_t cellCount(SAFEARRAY* array) {
  std::uint64_t cells = 1;
  for (USHORT d = 0; d < array->cDims; ++d) {
    cells *= boundsOf(array)[d].cElements;
    if (cells > kMaxDataBytes) return kMaxDataBytes + 1;
  }
  return cells;
}

unsigned char* cellAt(SAFEARRAY* array, std::uint64_t cell) {
  return static_cast<unsigned char*>(array->pvData) + cell * array->cbElements;
}

template <typename T>
T load(const unsigned char* at) {
  T value;
  std::memcpy(&value, at, sizeof value);
  return value;
}
template <typename T>
void store(unsigned char* at, T value) {
  std::memcpy(at, &value, sizeof value);
}

// Gives back what cells [from, to) own; the bytes stay.
void releaseCells(SAFEARRAY* array, std::uint64_t from, std::uint64_t to) {
  if (!array->pvData) return;
  const Kind kind = kindOf(array);
  for (std::uint64_t cell = from; cell < to && kind != Kind::Plain; ++cell) {
    unsigned char* at = cellAt(array, cell);
    if (kind == Kind::Bstr) {
      SysFreeString(load<BSTR>(at));
      store<BSTR>(at, nullptr);
    } else if (kind == Kind::Variant) {
      VariantClear(reinterpret_cast<VARIANT*>(at));
    } else if (IUnknown* object = load<IUnknown*>(at)) {
      object->Release();
      store<IUnknown*>(at, nullptr);
    }
  }
}

BSTR copyOf(BSTR text) { return SysAllocStringByteLen(reinterpret_cast<LPCSTR>(text), SysStringByteLen(text)); }

// Copies one cell from `from` (in an array of `kind`) into fresh storage `to`.
HRESULT copyCell(Kind kind, const unsigned char* from, unsigned char* to, ULONG size) {
  switch (kind) {
    case Kind::Plain:
      std::memcpy(to, from, size);
      return S_OK;
    case Kind::Bstr: {
      const BSTR text = load<BSTR>(from);
      const BSTR copy = text ? copyOf(text) : nullptr;
      store<BSTR>(to, copy);
      return text && !copy ? E_OUTOFMEMORY : S_OK;
    }
    case Kind::Variant:
      VariantInit(reinterpret_cast<VARIANT*>(to));
      return VariantCopy(reinterpret_cast<VARIANT*>(to), reinterpret_cast<const VARIANT*>(from));
    case Kind::Interface: {
      IUnknown* object = load<IUnknown*>(from);
      if (object) object->AddRef();
      store<IUnknown*>(to, object);
      return S_OK;
    }
  }
  return E_UNEXPECTED;
}

SAFEARRAY* allocateDescriptor(UINT dimensions) {
  const std::size_t size =
      kHidden + offsetof(SAFEARRAY, rgsabound) + std::size_t(dimensions) * sizeof(SAFEARRAYBOUND);
  auto* block = static_cast<unsigned char*>(CoTaskMemAlloc(size));
  if (!block) return nullptr;
  std::memset(block, 0, size);
  auto* array = reinterpret_cast<SAFEARRAY*>(block + kHidden);
  array->cDims = static_cast<USHORT>(dimensions);
  return array;
}

void freeDescriptor(SAFEARRAY* array) { CoTaskMemFree(hiddenOf(array)); }

// Always a real block, even for no elements, so pvData can be handed to memcpy.
void* allocateData(std::uint64_t bytes) {
  void* data = CoTaskMemAlloc(static_cast<SIZE_T>(bytes));
  if (data) std::memset(data, 0, static_cast<std::size_t>(bytes ? bytes : 1));
  return data;
}

void describeElements(SAFEARRAY* array, VARTYPE vt) {
  array->cbElements = elementSize(vt);
  if (vt == VT_UNKNOWN || vt == VT_DISPATCH) {
    array->fFeatures = FADF_HAVEIID | (vt == VT_UNKNOWN ? FADF_UNKNOWN : FADF_DISPATCH);
    std::memcpy(hiddenOf(array), vt == VT_UNKNOWN ? &IID_IUnknown : &IID_IDispatch, sizeof(IID));
    return;
  }
  array->fFeatures = FADF_HAVEVARTYPE;
  if (vt == VT_BSTR) array->fFeatures |= FADF_BSTR;
  if (vt == VT_VARIANT) array->fFeatures |= FADF_VARIANT;
  store<DWORD>(hiddenOf(array) + kHidden - sizeof(DWORD), vt);
}

// The cell of `indices` (first dimension first, varying fastest).
HRESULT locate(SAFEARRAY* array, const LONG* indices, std::uint64_t& cell) {
  cell = 0;
  std::uint64_t stride = 1;
  for (USHORT d = 0; d < array->cDims; ++d) {
    const SAFEARRAYBOUND& bound = boundsOf(array)[array->cDims - 1 - d];
    const std::int64_t offset = std::int64_t(indices[d]) - bound.lLbound;
    if (offset < 0 || offset >= std::int64_t(bound.cElements)) return DISP_E_BADINDEX;
    cell += std::uint64_t(offset) * stride;
    stride *= bound.cElements;
  }
  return S_OK;
}

}  // namespace

SAFEARRAY* WINAPI SafeArrayCreate(VARTYPE vt, UINT dimensions, SAFEARRAYBOUND* bounds) {
  if (!bounds || dimensions == 0 || dimensions > 0xFFFF || elementSize(vt) == 0) return nullptr;
  std::uint64_t cells = 1;
  for (UINT d = 0; d < dimensions && cells <= kMaxDataBytes; ++d) cells *= bounds[d].cElements;
  if (cells > kMaxDataBytes || cells * elementSize(vt) > kMaxDataBytes) return nullptr;

  SAFEARRAY* array = allocateDescriptor(dimensions);
  if (!array) return nullptr;
  describeElements(array, vt);
  for (UINT d = 0; d < dimensions; ++d) boundsOf(array)[d] = bounds[dimensions - 1 - d];
  array->pvData = allocateData(cells * array->cbElements);
  if (!array->pvData) {
    freeDescriptor(array);
    return nullptr;
  }
  return array;
}

HRESULT WINAPI SafeArrayDestroyData(SAFEARRAY* array) {
  if (!array) return E_INVALIDARG;
  if (array->cLocks) return DISP_E_ARRAYISLOCKED;
  releaseCells(array, 0, cellCount(array));
  if (ownsMemory(array)) {
    CoTaskMemFree(array->pvData);
    array->pvData = nullptr;
  }
  return S_OK;
}

HRESULT WINAPI SafeArrayDestroy(SAFEARRAY* array) {
  if (!array) return S_OK;
  const HRESULT hr = SafeArrayDestroyData(array);
  if (FAILED(hr)) return hr;
  if (ownsMemory(array)) freeDescriptor(array);
  return S_OK;
}

HRESULT WINAPI SafeArrayLock(SAFEARRAY* array) {
  if (!array) return E_INVALIDARG;
  if (array->cLocks >= kMaxLocks) return E_UNEXPECTED;
  ++array->cLocks;
  return S_OK;
}

HRESULT WINAPI SafeArrayUnlock(SAFEARRAY* array) {
  if (!array) return E_INVALIDARG;
  if (array->cLocks == 0) return E_UNEXPECTED;
  --array->cLocks;
  return S_OK;
}

HRESULT WINAPI SafeArrayRedim(SAFEARRAY* array, SAFEARRAYBOUND* newBound) {
  if (!array || !newBound || array->fFeatures & FADF_FIXEDSIZE || array->cDims == 0) return E_INVALIDARG;
  if (array->cLocks) return DISP_E_ARRAYISLOCKED;

  SAFEARRAYBOUND& last = boundsOf(array)[0];
  std::uint64_t others = 1;
  for (USHORT d = 1; d < array->cDims; ++d) others *= boundsOf(array)[d].cElements;
  const std::uint64_t oldCells = others * last.cElements;
  const std::uint64_t newCells = others * newBound->cElements;
  const std::uint64_t newBytes = newCells * array->cbElements;
  if (others > kMaxDataBytes || newCells > kMaxDataBytes || newBytes > kMaxDataBytes) return E_OUTOFMEMORY;

  if (!array->pvData) {
    if (!(array->pvData = allocateData(newBytes))) return E_OUTOFMEMORY;
  } else if (newCells < oldCells) {
    releaseCells(array, newCells, oldCells);
  } else if (newCells > oldCells) {
    if (!ownsMemory(array)) return E_INVALIDARG;  // someone else's block cannot grow
    void* grown = allocateData(newBytes);
    if (!grown) return E_OUTOFMEMORY;
    std::memcpy(grown, array->pvData, static_cast<std::size_t>(oldCells * array->cbElements));
    CoTaskMemFree(array->pvData);
    array->pvData = grown;
  }
  last = *newBound;
  return S_OK;
}

HRESULT WINAPI SafeArrayCopy(SAFEARRAY* source, SAFEARRAY** copy) {
  if (!copy) return E_INVALIDARG;
  *copy = nullptr;
  if (!source) return S_OK;
  if (source->fFeatures & FADF_RECORD) return E_NOTIMPL;

  SAFEARRAY* out = allocateDescriptor(source->cDims);
  if (!out) return E_OUTOFMEMORY;
  out->cbElements = source->cbElements;
  out->fFeatures = source->fFeatures & ~kForeignMemory;
  if (ownsMemory(source))
    std::memcpy(hiddenOf(out), hiddenOf(source), kHidden);
  else
    out->fFeatures &= ~(FADF_HAVEVARTYPE | FADF_HAVEIID);  // nothing hidden to copy from
  for (USHORT d = 0; d < source->cDims; ++d) boundsOf(out)[d] = boundsOf(source)[d];

  if (source->pvData) {
    const std::uint64_t cells = cellCount(source);
    const std::uint64_t bytes = cells * source->cbElements;
    if (cells > kMaxDataBytes || bytes > kMaxDataBytes || !(out->pvData = allocateData(bytes))) {
      freeDescriptor(out);
      return E_OUTOFMEMORY;
    }
    const Kind kind = kindOf(source);
    for (std::uint64_t cell = 0; cell < cells; ++cell) {
      const HRESULT hr = copyCell(kind, cellAt(source, cell), cellAt(out, cell), source->cbElements);
      if (FAILED(hr)) {
        SafeArrayDestroy(out);  // releases what the cells copied so far own
        return hr;
      }
    }
  }
  *copy = out;
  return S_OK;
}

UINT WINAPI SafeArrayGetDim(SAFEARRAY* array) { return array ? array->cDims : 0; }

HRESULT WINAPI SafeArrayGetLBound(SAFEARRAY* array, UINT dimension, LONG* bound) {
  if (!array || !bound) return E_INVALIDARG;
  if (dimension < 1 || dimension > array->cDims) return DISP_E_BADINDEX;
  *bound = boundsOf(array)[array->cDims - dimension].lLbound;
  return S_OK;
}

HRESULT WINAPI SafeArrayGetUBound(SAFEARRAY* array, UINT dimension, LONG* bound) {
  if (!array || !bound) return E_INVALIDARG;
  if (dimension < 1 || dimension > array->cDims) return DISP_E_BADINDEX;
  const SAFEARRAYBOUND& b = boundsOf(array)[array->cDims - dimension];
  // Wraps as a 32-bit LONG would on Windows.
  *bound = static_cast<LONG>(static_cast<std::uint32_t>(std::int64_t(b.lLbound) + b.cElements - 1));
  return S_OK;
}

HRESULT WINAPI SafeArrayGetElement(SAFEARRAY* array, LONG* indices, void* value) {
  if (!array || !indices || !value) return E_INVALIDARG;
  std::uint64_t cell;
  HRESULT hr = locate(array, indices, cell);
  if (FAILED(hr)) return hr;
  if (!array->pvData) return E_UNEXPECTED;
  if (FAILED(hr = SafeArrayLock(array))) return hr;
  hr = copyCell(kindOf(array), cellAt(array, cell), static_cast<unsigned char*>(value), array->cbElements);
  SafeArrayUnlock(array);
  return hr;
}

HRESULT WINAPI SafeArrayPutElement(SAFEARRAY* array, LONG* indices, void* value) {
  if (!array || !indices) return E_INVALIDARG;
  const Kind kind = kindOf(array);
  if (!value && kind != Kind::Bstr && kind != Kind::Interface) return E_INVALIDARG;
  std::uint64_t cell;
  HRESULT hr = locate(array, indices, cell);
  if (FAILED(hr)) return hr;
  if (!array->pvData) return E_UNEXPECTED;
  if (FAILED(hr = SafeArrayLock(array))) return hr;
  unsigned char* at = cellAt(array, cell);
  switch (kind) {
    case Kind::Plain:
      std::memcpy(at, value, array->cbElements);
      break;
    case Kind::Bstr: {
      const BSTR text = static_cast<BSTR>(value);
      const BSTR copy = text ? copyOf(text) : nullptr;
      if (text && !copy) {
        hr = E_OUTOFMEMORY;
        break;
      }
      SysFreeString(load<BSTR>(at));
      store<BSTR>(at, copy);
      break;
    }
    case Kind::Variant:
      hr = VariantCopy(reinterpret_cast<VARIANT*>(at), static_cast<const VARIANT*>(value));
      break;
    case Kind::Interface: {
      auto* object = static_cast<IUnknown*>(value);
      if (object) object->AddRef();
      if (IUnknown* old = load<IUnknown*>(at)) old->Release();
      store<IUnknown*>(at, object);
      break;
    }
  }
  SafeArrayUnlock(array);
  return hr;
}

HRESULT WINAPI SafeArrayAccessData(SAFEARRAY* array, void** data) {
  if (!array || !data) return E_INVALIDARG;
  const HRESULT hr = SafeArrayLock(array);
  *data = SUCCEEDED(hr) ? array->pvData : nullptr;
  return hr;
}

HRESULT WINAPI SafeArrayUnaccessData(SAFEARRAY* array) { return SafeArrayUnlock(array); }

HRESULT WINAPI SafeArrayGetVartype(SAFEARRAY* array, VARTYPE* vt) {
  if (!array || !vt) return E_INVALIDARG;
  if (array->fFeatures & FADF_RECORD) {
    *vt = VT_RECORD;
  } else if (array->fFeatures & FADF_HAVEIID) {
    *vt = array->fFeatures & FADF_DISPATCH ? VT_DISPATCH : VT_UNKNOWN;
  } else if (array->fFeatures & FADF_HAVEVARTYPE && ownsMemory(array)) {
    *vt = static_cast<VARTYPE>(load<DWORD>(hiddenOf(array) + kHidden - sizeof(DWORD)));
  } else {
    return E_INVALIDARG;
  }
  return S_OK;
}
