// Task memory, BSTR and VARIANT. SAFEARRAY lives in oleauto_safearray.cpp.
#include <win32/oleauto.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>

// --- Task memory ----------------------------------------------------------------

namespace {
std::atomic<SIZE_T> blocksInUse{0};
}

LPVOID WINAPI CoTaskMemAlloc(SIZE_T size) {
  void* block = std::malloc(size ? size : 1);
  if (block) blocksInUse.fetch_add(1, std::memory_order_relaxed);
  return block;
}

void WINAPI CoTaskMemFree(LPVOID block) {
  if (block) blocksInUse.fetch_sub(1, std::memory_order_relaxed);
  std::free(block);
}

SIZE_T WINAPI DravTaskMemoryBlocksInUse() { return blocksInUse.load(std::memory_order_relaxed); }

// --- BSTR -------------------------------------------------------------------------

namespace {

constexpr std::size_t kLengthPrefix = sizeof(std::uint32_t);
// The prefix holds a 32-bit byte count; stay well inside it.
constexpr std::uint64_t kMaxBstrBytes = 0x7FFFFFF0u;

unsigned char* blockOf(BSTR text) { return reinterpret_cast<unsigned char*>(text) - kLengthPrefix; }

// [4-byte byte length][bytes][two NUL bytes]: a NUL unit follows even an odd byte count.
BSTR allocateBytes(const void* bytes, std::uint64_t length) {
  if (length > kMaxBstrBytes) return nullptr;
  auto* block = static_cast<unsigned char*>(CoTaskMemAlloc(kLengthPrefix + length + sizeof(OLECHAR)));
  if (!block) return nullptr;
  const auto prefix = static_cast<std::uint32_t>(length);
  std::memcpy(block, &prefix, kLengthPrefix);
  unsigned char* data = block + kLengthPrefix;
  if (bytes)
    std::memcpy(data, bytes, length);
  else
    std::memset(data, 0, length);
  data[length] = 0;
  data[length + 1] = 0;
  return reinterpret_cast<BSTR>(data);
}

}  // namespace

BSTR WINAPI SysAllocString(const OLECHAR* text) {
  if (!text) return nullptr;
  std::uint64_t length = 0;
  while (text[length] != 0) ++length;
  return allocateBytes(text, length * sizeof(OLECHAR));
}

BSTR WINAPI SysAllocStringLen(const OLECHAR* text, UINT length) {
  return allocateBytes(text, std::uint64_t(length) * sizeof(OLECHAR));
}

BSTR WINAPI SysAllocStringByteLen(LPCSTR bytes, UINT length) { return allocateBytes(bytes, length); }

UINT WINAPI SysStringByteLen(BSTR text) {
  if (!text) return 0;
  std::uint32_t length;
  std::memcpy(&length, blockOf(text), kLengthPrefix);
  return length;
}

UINT WINAPI SysStringLen(BSTR text) { return SysStringByteLen(text) / sizeof(OLECHAR); }

void WINAPI SysFreeString(BSTR text) {
  if (text) CoTaskMemFree(blockOf(text));
}

// --- VARIANT ------------------------------------------------------------------------

namespace {

// The types a VARIANT may carry: 0 to 23 except 15, and records; by
// reference or as arrays, anything but EMPTY and NULL.
bool isValidVariantType(VARTYPE vt) {
  const VARTYPE base = vt & VT_TYPEMASK;
  const VARTYPE extra = vt & ~VT_TYPEMASK;
  if (extra & ~(VT_ARRAY | VT_BYREF)) return false;
  if (base == 15 || (base > VT_UINT && base != VT_RECORD)) return false;
  return !(extra && base <= VT_NULL);
}

bool isInterface(VARTYPE vt) { return vt == VT_UNKNOWN || vt == VT_DISPATCH; }

}  // namespace

void WINAPI VariantInit(VARIANTARG* variant) { variant->vt = VT_EMPTY; }

HRESULT WINAPI VariantClear(VARIANTARG* variant) {
  if (!variant) return E_INVALIDARG;
  const VARTYPE vt = variant->vt;
  if (!isValidVariantType(vt)) return DISP_E_BADVARTYPE;
  if (vt & VT_ARRAY && !(vt & VT_BYREF)) {
    const HRESULT hr = SafeArrayDestroy(variant->parray);
    if (FAILED(hr)) return hr;
  } else if (vt == VT_BSTR) {
    SysFreeString(variant->bstrVal);
  } else if (isInterface(vt)) {
    if (variant->punkVal) variant->punkVal->Release();
  } else if (vt == VT_RECORD && variant->pRecInfo) {
    return E_NOTIMPL;  // clearing needs the record information interface
  }
  variant->vt = VT_EMPTY;
  return S_OK;
}

HRESULT WINAPI VariantCopy(VARIANTARG* dest, const VARIANTARG* source) {
  if (!dest || !source) return E_INVALIDARG;
  const VARTYPE vt = source->vt;
  if (!isValidVariantType(vt)) return DISP_E_BADVARTYPE;
  if (dest == source) return S_OK;

  // Build the copy first, so a failure leaves dest as it was.
  VARIANT copy = *source;
  if (vt & VT_ARRAY && !(vt & VT_BYREF)) {
    const HRESULT hr = SafeArrayCopy(source->parray, &copy.parray);
    if (FAILED(hr)) return hr;
  } else if (vt == VT_BSTR && source->bstrVal) {
    copy.bstrVal = SysAllocStringByteLen(reinterpret_cast<LPCSTR>(source->bstrVal), SysStringByteLen(source->bstrVal));
    if (!copy.bstrVal) return E_OUTOFMEMORY;
  } else if (isInterface(vt)) {
    if (copy.punkVal) copy.punkVal->AddRef();
  } else if (vt == VT_RECORD && (source->pvRecord || source->pRecInfo)) {
    return E_NOTIMPL;  // copying needs the record information interface
  }
  const HRESULT cleared = VariantClear(dest);
  if (FAILED(cleared)) {
    VariantClear(&copy);
    return cleared;
  }
  *dest = copy;
  return S_OK;
}
