#include "host/pages/page_response.h"

#include <drav/platform/annal.h>

#include <cstdint>
#include <vector>

namespace DRAVHost {

namespace {

const Annal::AnnalInitExit annalInitExit;

// What IIS reports when the client has gone: "the specified network name is no longer available".
const HRESULT kClientGone = HRESULT_FROM_WIN32(64);

std::string utf8Of(BSTR text) {
  const UINT units = SysStringLen(text);
  if (units == 0) return std::string();
  const int size = WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(units), nullptr, 0, nullptr, nullptr);
  std::string narrow(size > 0 ? static_cast<std::size_t>(size) : 0, '\0');
  if (size > 0) WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(units), &narrow[0], size, nullptr, nullptr);
  return narrow;
}

// A new BSTR the caller frees; null when memory runs out.
BSTR bstrOf(const std::string& text) {
  const int units = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  BSTR result = SysAllocStringLen(nullptr, static_cast<UINT>(units > 0 ? units : 0));
  if (result && units > 0) MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), result, units);
  return result;
}

HRESULT handOut(const std::string& text, BSTR* out) {
  if (!out) return E_POINTER;
  *out = bstrOf(text);
  return *out ? S_OK : E_OUTOFMEMORY;
}

// "404 Not Found" into its code and reason.
bool parseStatus(const std::string& text, unsigned& code, std::string& reason) {
  if (text.size() < 5 || text[3] != ' ') return false;
  code = 0;
  for (int i = 0; i < 3; ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    code = code * 10 + static_cast<unsigned>(text[i] - '0');
  }
  reason = text.substr(4);
  return code >= 100;
}

std::uint32_t bigEndian32(const unsigned char* bytes) {
  return std::uint32_t(bytes[0]) << 24 | std::uint32_t(bytes[1]) << 16 | std::uint32_t(bytes[2]) << 8 | bytes[3];
}

// The code of `bytes` when they are exactly one status record: three texts
// (a 32-bit length counting the closing NUL, the bytes, the NUL), then the
// code as a signed 32-bit number.
std::optional<long> statusRecordCode(const unsigned char* bytes, std::size_t size) {
  std::size_t at = 0;
  for (int text = 0; text < 3; ++text) {
    if (size - at < 4) return std::nullopt;
    const std::uint32_t length = bigEndian32(bytes + at);
    at += 4;
    if (length == 0 || length > size - at || bytes[at + length - 1] != 0) return std::nullopt;
    at += length;
  }
  if (size - at != 4) return std::nullopt;
  return static_cast<long>(static_cast<std::int32_t>(bigEndian32(bytes + at)));
}

}  // namespace

PageResponse* PageResponse::create(ResponseStream& out, CallWatch* watch) { return new PageResponse(out, watch); }

PageResponse::PageResponse(ResponseStream& out, CallWatch* watch)
    : ComObject(DRAVHelpers::IIS::IID_IResponse), out_(&out), watch_(watch) {}

template <typename Action>
HRESULT PageResponse::sending(Action action) {
  if (!out_) return E_UNEXPECTED;
  const HostCode host(watch_);
  if (!host) {
    connectionFailed_ = true;  // the host answered the call in the bridge's stead
    return kClientGone;
  }
  // Whether the answer has begun, for a give-up to come: on every way out, before the bridge's code runs on.
  struct Begun {
    CallWatch* watch;
    const ResponseStream& out;
    ~Begun() {
      if (watch && out.headSent()) watch->answerBegins();
    }
  } begun{watch_, *out_};
  try {
    action(*out_);
    return S_OK;
  } catch (const ResponseTooLarge& e) {
    Annal::Logger(Annal::Error) << "host: " << e.what();
    return E_OUTOFMEMORY;
  } catch (const ChannelError& e) {
    connectionFailed_ = true;
    Annal::Logger(Annal::Error) << "host: the answer could not be sent: " << e.what();
    return kClientGone;
  } catch (const std::logic_error&) {
    return E_FAIL;  // written after End
  } catch (const std::exception& e) {
    Annal::Logger(Annal::Error) << "host: " << e.what();
    return E_OUTOFMEMORY;
  }
}

HRESULT STDMETHODCALLTYPE PageResponse::get_Buffer(VARIANT_BOOL* buffering) {
  if (!buffering) return E_POINTER;
  if (!out_) return E_UNEXPECTED;
  *buffering = out_->buffering() ? VARIANT_TRUE : VARIANT_FALSE;
  return S_OK;
}

HRESULT STDMETHODCALLTYPE PageResponse::put_Buffer(VARIANT_BOOL buffering) {
  if (!out_) return E_UNEXPECTED;
  return out_->setBuffering(buffering != VARIANT_FALSE) ? S_OK : E_FAIL;
}

HRESULT STDMETHODCALLTYPE PageResponse::get_ContentType(BSTR* contentType) {
  if (!out_) return E_UNEXPECTED;
  return handOut(out_->contentType(), contentType);
}

HRESULT STDMETHODCALLTYPE PageResponse::put_ContentType(BSTR contentType) {
  if (!out_) return E_UNEXPECTED;
  if (out_->headSent()) return E_FAIL;
  return out_->setContentType(utf8Of(contentType)) ? S_OK : E_INVALIDARG;
}

HRESULT STDMETHODCALLTYPE PageResponse::get_Status(BSTR* status) {
  if (!out_) return E_UNEXPECTED;
  return handOut(std::to_string(out_->statusCode()) + " " + out_->reason(), status);
}

HRESULT STDMETHODCALLTYPE PageResponse::put_Status(BSTR status) {
  if (!out_) return E_UNEXPECTED;
  if (out_->headSent()) return E_FAIL;
  unsigned code = 0;
  std::string reason;
  if (!parseStatus(utf8Of(status), code, reason)) return E_INVALIDARG;
  return out_->setStatus(code, reason) ? S_OK : E_INVALIDARG;
}

HRESULT STDMETHODCALLTYPE PageResponse::AddHeader(BSTR headerName, BSTR headerValue) {
  if (!out_) return E_UNEXPECTED;
  if (out_->headSent()) return E_FAIL;
  return out_->addHeader(utf8Of(headerName), utf8Of(headerValue)) ? S_OK : E_INVALIDARG;
}

HRESULT STDMETHODCALLTYPE PageResponse::BinaryWrite(VARIANT data) {
  if (data.vt != (VT_ARRAY | VT_UI1) || !data.parray) return DISP_E_TYPEMISMATCH;
  SAFEARRAY* array = data.parray;
  if (array->cDims != 1 || array->cbElements != 1) return DISP_E_TYPEMISMATCH;
  void* bytes = nullptr;
  if (FAILED(SafeArrayAccessData(array, &bytes))) return E_UNEXPECTED;
  const std::size_t size = array->rgsabound[0].cElements;
  const HRESULT hr = sending([&](ResponseStream& out) { out.write(bytes, size); });
  if (SUCCEEDED(hr) && size > 0) statusWritten_ = statusRecordCode(static_cast<const unsigned char*>(bytes), size);
  SafeArrayUnaccessData(array);
  return hr;
}

HRESULT STDMETHODCALLTYPE PageResponse::Clear() {
  if (!out_) return E_UNEXPECTED;
  if (!out_->clear()) return E_FAIL;
  statusWritten_.reset();
  return S_OK;
}

HRESULT STDMETHODCALLTYPE PageResponse::Flush() {
  if (!out_) return E_UNEXPECTED;
  if (!out_->buffering()) return E_FAIL;
  return sending([](ResponseStream& out) { out.flush(); });
}

HRESULT STDMETHODCALLTYPE PageResponse::End() {
  return sending([](ResponseStream& out) { out.finish(); });
}

HRESULT STDMETHODCALLTYPE PageResponse::IsClientConnected(VARIANT_BOOL* connected) {
  if (!connected) return E_POINTER;
  if (!out_) return E_UNEXPECTED;
  *connected = connectionFailed_ ? VARIANT_FALSE : VARIANT_TRUE;
  return S_OK;
}

HRESULT STDMETHODCALLTYPE PageResponse::get_Cookies(DRAVHelpers::IIS::IRequestDictionary** cookies) {
  if (cookies) *cookies = nullptr;
  return E_NOTIMPL;
}

}  // namespace DRAVHost
