#include "support/fake_asp.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace dravtest {

namespace {

// The count argument of BinaryRead, whichever integer type it came as.
bool readCount(const VARIANT& count, long& value) {
  switch (count.vt) {
    case VT_I2: value = count.iVal; return true;
    case VT_I4: value = count.lVal; return true;
    case VT_UI4: value = static_cast<long>(count.ulVal); return true;
    case VT_INT: value = count.intVal; return true;
    case VT_UINT: value = static_cast<long>(count.uintVal); return true;
    default: return false;
  }
}

}  // namespace

HRESULT STDMETHODCALLTYPE FakeRequest::get_TotalBytes(LONG* totalBytes) {
  if (!totalBytes) return E_POINTER;
  if (failTotalBytes) return E_FAIL;
  *totalBytes = static_cast<LONG>(body_.size());
  return S_OK;
}

HRESULT STDMETHODCALLTYPE FakeRequest::BinaryRead(VARIANT* count, VARIANT* result) {
  if (!count || !result) return E_POINTER;
  long asked = 0;
  if (!readCount(*count, asked)) return DISP_E_TYPEMISMATCH;
  requested_.push_back(asked);
  if (failRead) return E_FAIL;
  if (asked < 0) return E_INVALIDARG;
  VariantInit(result);
  if (readWithoutArray) return S_OK;

  std::size_t n = std::min<std::size_t>(static_cast<std::size_t>(asked), body_.size() - position_);
  if (maxPerRead) n = std::min(n, maxPerRead);
  SAFEARRAYBOUND bound = {static_cast<ULONG>(n), 0};
  SAFEARRAY* array = SafeArrayCreate(VT_UI1, 1, &bound);
  if (!array) return E_OUTOFMEMORY;
  void* data = nullptr;
  SafeArrayAccessData(array, &data);
  if (n) std::memcpy(data, body_.data() + position_, n);
  SafeArrayUnaccessData(array);
  position_ += n;

  result->vt = VT_ARRAY | VT_UI1;
  result->parray = array;
  if (count->vt == VT_I4) count->lVal = static_cast<LONG>(n);
  if (count->vt == VT_UI4) count->ulVal = static_cast<ULONG>(n);
  return S_OK;
}

HRESULT STDMETHODCALLTYPE FakeResponse::put_Buffer(VARIANT_BOOL buffering) {
  buffer_.push_back(buffering);
  return S_OK;
}

HRESULT STDMETHODCALLTYPE FakeResponse::BinaryWrite(VARIANT data) {
  if (data.vt != (VT_ARRAY | VT_UI1) || !data.parray) return DISP_E_TYPEMISMATCH;
  if (failWrites) return E_FAIL;
  LONG lower = 0, upper = -1;
  if (FAILED(SafeArrayGetLBound(data.parray, 1, &lower)) || FAILED(SafeArrayGetUBound(data.parray, 1, &upper)))
    return E_INVALIDARG;
  const std::int64_t count = std::int64_t(upper) - lower + 1;
  void* bytes = nullptr;
  if (FAILED(SafeArrayAccessData(data.parray, &bytes))) return E_UNEXPECTED;
  const auto* first = static_cast<const unsigned char*>(bytes);
  writes_.emplace_back(first, first + std::max<std::int64_t>(count, 0));
  SafeArrayUnaccessData(data.parray);
  sent_.insert(sent_.end(), writes_.back().begin(), writes_.back().end());
  return S_OK;
}

}  // namespace dravtest
