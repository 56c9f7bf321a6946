// The host's IResponse: the answer of the call being served, written to the
// connection. Buffering is on until the bridge turns it off; then every
// BinaryWrite goes out at once as one chunk. Status, content type and
// headers can change until the first byte has gone out. Served: Buffer,
// ContentType, Status, AddHeader, BinaryWrite, Clear, Flush, End,
// IsClientConnected; the rest is not offered (E_NOTIMPL). One thread uses it.
#pragma once

#include "host/pages/com_object.h"
#include "host/server/call_watch.h"
#include "host/server/response_stream.h"

#include <drav/platform/asp.h>

#include <optional>
#include <string>

namespace DRAVHost {

class PageResponse final : public ComObject<DRAVHelpers::IIS::IResponse> {
public:
  // A new object holding one reference, the caller's (Release frees it).
  // `out` must stay usable until detach(). What goes out to the connection
  // is the host's code for `watch` (null: none), and fails once the call
  // was given up.
  static PageResponse* create(ResponseStream& out, CallWatch* watch = nullptr);
  // Cuts the object off the connection: every later call gives E_UNEXPECTED.
  void detach() { out_ = nullptr; }
  // True once a write failed because the connection did.
  bool connectionFailed() const { return connectionFailed_; }
  // The code of the invocation status the bridge wrote: the last write is
  // then exactly one status record, as ResponseWrapper::WriteStatus sends it
  // (the status always ends an answer). Nothing when it is not.
  std::optional<long> statusWritten() const { return statusWritten_; }

  HRESULT STDMETHODCALLTYPE get_Buffer(VARIANT_BOOL* buffering) override;
  // Refused (E_FAIL) once output has gone out with the other setting.
  HRESULT STDMETHODCALLTYPE put_Buffer(VARIANT_BOOL buffering) override;
  HRESULT STDMETHODCALLTYPE get_ContentType(BSTR* contentType) override;
  HRESULT STDMETHODCALLTYPE put_ContentType(BSTR contentType) override;
  HRESULT STDMETHODCALLTYPE get_Status(BSTR* status) override;
  // "404 Not Found": three digits, a blank, a reason. E_INVALIDARG otherwise;
  // E_FAIL once the head has gone out (as for ContentType and AddHeader).
  HRESULT STDMETHODCALLTYPE put_Status(BSTR status) override;
  HRESULT STDMETHODCALLTYPE AddHeader(BSTR headerName, BSTR headerValue) override;
  // A one-dimensional VT_ARRAY | VT_UI1 (DISP_E_TYPEMISMATCH otherwise).
  // E_OUTOFMEMORY when buffered output passes the host's limit; 0x80070040
  // (the network name is no longer available) when the client is gone.
  HRESULT STDMETHODCALLTYPE BinaryWrite(VARIANT data) override;
  // Clear drops buffered output, Flush sends it; both E_FAIL with buffering off.
  HRESULT STDMETHODCALLTYPE Clear() override;
  HRESULT STDMETHODCALLTYPE Flush() override;
  // Completes the response now; later writes fail.
  HRESULT STDMETHODCALLTYPE End() override;
  HRESULT STDMETHODCALLTYPE IsClientConnected(VARIANT_BOOL* connected) override;

  HRESULT STDMETHODCALLTYPE get_Expires(VARIANT*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE put_Expires(LONG) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_ExpiresAbsolute(VARIANT*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE put_ExpiresAbsolute(DATE) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_Cookies(DRAVHelpers::IIS::IRequestDictionary** cookies) override;
  HRESULT STDMETHODCALLTYPE Add(BSTR, BSTR) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE AppendToLog(BSTR) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Redirect(BSTR) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Write(VARIANT) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE WriteBlock(short) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_CharSet(BSTR*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE put_CharSet(BSTR) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Pics(BSTR) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_CacheControl(BSTR*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE put_CacheControl(BSTR) override { return E_NOTIMPL; }

private:
  PageResponse(ResponseStream& out, CallWatch* watch);
  // Runs a write on the stream and maps its failures to HRESULTs.
  template <typename Action>
  HRESULT sending(Action action);

  ResponseStream* out_;
  CallWatch* const watch_;
  bool connectionFailed_ = false;
  std::optional<long> statusWritten_;
};

}  // namespace DRAVHost
