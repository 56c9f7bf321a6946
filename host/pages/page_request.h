// The host's IRequest: the body of the call being served, read from the
// connection only as BinaryRead asks for it (the body is never held whole).
// get_TotalBytes and BinaryRead are served; the collections (QueryString,
// Form, Cookies, ...) are not offered (E_NOTIMPL). One thread uses it.
#pragma once

#include "host/pages/com_object.h"
#include "host/server/call_watch.h"
#include "host/server/request_stream.h"

#include <drav/platform/asp.h>

#include <cstdint>
#include <string>

namespace DRAVHost {

class PageRequest final : public ComObject<DRAVHelpers::IIS::IRequest> {
public:
  // A new object holding one reference, the caller's (Release frees it).
  // `body` must stay usable until detach(). One BinaryRead delivers at most
  // `largestRead` bytes (the call's memory share), whatever count it is asked.
  // A read is the host's code for `watch` (null: none), and fails once the
  // call was given up.
  static PageRequest* create(RequestStream& body, std::uint32_t totalBytes,
                             std::uint64_t largestRead = UINT32_MAX, CallWatch* watch = nullptr);
  // Cuts the object off the connection: every later call gives E_UNEXPECTED.
  void detach() { body_ = nullptr; }
  // Why the last BinaryRead failed; empty when none did.
  const std::string& lastError() const { return lastError_; }

  HRESULT STDMETHODCALLTYPE get_TotalBytes(LONG* totalBytes) override;
  // Waits until *count bytes have arrived or the body is complete; *result
  // receives a new VT_ARRAY | VT_UI1 array the caller owns and *count the
  // number of bytes in it. The array grows as bytes arrive, so a count far
  // beyond what the client sends allocates no more than was sent.
  HRESULT STDMETHODCALLTYPE BinaryRead(VARIANT* count, VARIANT* result) override;

  HRESULT STDMETHODCALLTYPE get_Item(BSTR, IDispatch** value) override;
  HRESULT STDMETHODCALLTYPE get_QueryString(DRAVHelpers::IIS::IRequestDictionary** values) override;
  HRESULT STDMETHODCALLTYPE get_Form(DRAVHelpers::IIS::IRequestDictionary** values) override;
  HRESULT STDMETHODCALLTYPE get_Body(DRAVHelpers::IIS::IRequestDictionary** values) override;
  HRESULT STDMETHODCALLTYPE get_ServerVariables(DRAVHelpers::IIS::IRequestDictionary** values) override;
  HRESULT STDMETHODCALLTYPE get_ClientCertificate(DRAVHelpers::IIS::IRequestDictionary** values) override;
  HRESULT STDMETHODCALLTYPE get_Cookies(DRAVHelpers::IIS::IRequestDictionary** values) override;

private:
  PageRequest(RequestStream& body, std::uint32_t totalBytes, std::uint64_t largestRead, CallWatch* watch);
  // Fills `array` (grown as needed) with up to `wanted` body bytes; returns how many.
  std::uint32_t readInto(SAFEARRAY* array, std::uint32_t wanted);

  RequestStream* body_;
  std::uint32_t totalBytes_;
  std::uint64_t largestRead_;
  CallWatch* const watch_;
  std::uint32_t delivered_ = 0;
  std::string lastError_;
};

}  // namespace DRAVHost
