#include "host/pages/page_request.h"

#include <drav/platform/annal.h>

#include <algorithm>
#include <cstdint>
#include <optional>

namespace DRAVHost {

using DRAVHelpers::IIS::IRequestDictionary;

namespace {

const Annal::AnnalInitExit annalInitExit;

// The first allocation of a read; the array doubles from there as bytes arrive.
constexpr std::uint32_t kFirstAllocation = 1024 * 1024;

// The count argument of BinaryRead, whichever integer type it came as.
std::optional<std::int64_t> countOf(const VARIANT& count) {
  switch (count.vt) {
    case VT_UI1: return count.bVal;
    case VT_I2: return count.iVal;
    case VT_UI2: return count.uiVal;
    case VT_I4: return count.lVal;
    case VT_UI4: return count.ulVal;
    case VT_INT: return count.intVal;
    case VT_UINT: return count.uintVal;
    case VT_I8: return count.llVal;
    case VT_BYREF | VT_I4: return count.plVal ? std::optional<std::int64_t>(*count.plVal) : std::nullopt;
    default: return std::nullopt;
  }
}

// Tells the caller how many bytes were read, in the type it asked with.
void storeCount(VARIANT& count, std::uint32_t read) {
  switch (count.vt) {
    case VT_I4: count.lVal = static_cast<LONG>(read); break;
    case VT_UI4: count.ulVal = read; break;
    case VT_INT: count.intVal = static_cast<INT>(read); break;
    case VT_UINT: count.uintVal = read; break;
    case VT_I8: count.llVal = read; break;
    case VT_BYREF | VT_I4: *count.plVal = static_cast<LONG>(read); break;
    default: break;  // narrower types cannot hold every count; they keep the asked value
  }
}

}  // namespace

PageRequest* PageRequest::create(RequestStream& body, std::uint32_t totalBytes, std::uint64_t largestRead,
                                 CallWatch* watch) {
  return new PageRequest(body, totalBytes, largestRead, watch);
}

PageRequest::PageRequest(RequestStream& body, std::uint32_t totalBytes, std::uint64_t largestRead, CallWatch* watch)
    : ComObject(DRAVHelpers::IIS::IID_IRequest),
      body_(&body),
      totalBytes_(totalBytes),
      largestRead_(largestRead),
      watch_(watch) {}

HRESULT STDMETHODCALLTYPE PageRequest::get_TotalBytes(LONG* totalBytes) {
  if (!totalBytes) return E_POINTER;
  if (!body_) return E_UNEXPECTED;
  *totalBytes = static_cast<LONG>(totalBytes_);
  return S_OK;
}

HRESULT STDMETHODCALLTYPE PageRequest::BinaryRead(VARIANT* count, VARIANT* result) {
  if (!count || !result) return E_POINTER;
  if (!body_) return E_UNEXPECTED;
  const auto asked = countOf(*count);
  if (!asked) return DISP_E_TYPEMISMATCH;
  if (*asked < 0) return E_INVALIDARG;
  const HostCode host(watch_);
  if (!host) {
    lastError_ = "the call was given up at the call time limit";
    return E_FAIL;
  }
  const std::int64_t largest = static_cast<std::int64_t>(std::min<std::uint64_t>(largestRead_, INT32_MAX));
  const std::uint32_t wanted =
      static_cast<std::uint32_t>(std::min<std::int64_t>({*asked, std::int64_t(totalBytes_) - delivered_, largest}));

  SAFEARRAYBOUND bound = {std::min(wanted, kFirstAllocation), 0};
  SAFEARRAY* array = SafeArrayCreate(VT_UI1, 1, &bound);
  if (!array) return E_OUTOFMEMORY;
  std::uint32_t read = 0;
  try {
    read = readInto(array, wanted);
  } catch (const std::exception& e) {
    lastError_ = e.what();
    SafeArrayDestroy(array);
    Annal::Logger(Annal::Error) << "host: BinaryRead failed: " << lastError_;
    return E_FAIL;
  }
  if (read < array->rgsabound[0].cElements) {
    SAFEARRAYBOUND shorter = {read, 0};
    SafeArrayRedim(array, &shorter);
  }
  delivered_ += read;
  VariantInit(result);
  result->vt = VT_ARRAY | VT_UI1;
  result->parray = array;
  storeCount(*count, read);
  return S_OK;
}

std::uint32_t PageRequest::readInto(SAFEARRAY* array, std::uint32_t wanted) {
  std::uint32_t filled = 0;
  while (filled < wanted) {
    const ULONG capacity = array->rgsabound[0].cElements;
    if (filled == capacity) {
      SAFEARRAYBOUND larger = {static_cast<ULONG>(std::min<std::uint64_t>(wanted, std::uint64_t(capacity) * 2)), 0};
      if (FAILED(SafeArrayRedim(array, &larger))) throw std::bad_alloc();
      continue;
    }
    const std::size_t got = body_->readBody(static_cast<unsigned char*>(array->pvData) + filled, capacity - filled);
    if (got == 0) break;  // the body is complete
    filled += static_cast<std::uint32_t>(got);
  }
  return filled;
}

HRESULT STDMETHODCALLTYPE PageRequest::get_Item(BSTR, IDispatch** value) {
  if (value) *value = nullptr;
  return E_NOTIMPL;
}

#define DRAV_HOST_NO_COLLECTION(name)                                       \
  HRESULT STDMETHODCALLTYPE PageRequest::name(IRequestDictionary** values) { \
    if (values) *values = nullptr;                                          \
    return E_NOTIMPL;                                                       \
  }
DRAV_HOST_NO_COLLECTION(get_QueryString)
DRAV_HOST_NO_COLLECTION(get_Form)
DRAV_HOST_NO_COLLECTION(get_Body)
DRAV_HOST_NO_COLLECTION(get_ServerVariables)
DRAV_HOST_NO_COLLECTION(get_ClientCertificate)
DRAV_HOST_NO_COLLECTION(get_Cookies)
#undef DRAV_HOST_NO_COLLECTION

}  // namespace DRAVHost
