// The page's intrinsic Request and Response objects of an Active Server
// Pages host, as the COM interfaces the IIS wrappers call, with their
// documented IIDs and method order, so that a host (or a test) can implement
// them on any platform.
//
// Declared in DRAVHelpers::IIS so they never clash with a system header that
// declares the same interfaces. Only get_TotalBytes, BinaryRead, put_Buffer
// and BinaryWrite are called by the library; the other methods are declared
// to keep the vtable order.
#pragma once

#include <drav/platform/win32.h>

namespace DRAVHelpers {
namespace IIS {

struct IRequestDictionary;

// The interface ID of IRequest.
inline constexpr IID IID_IRequest = {0xD97A6DA0, 0xA861, 0x11CF, {0x93, 0xAE, 0x00, 0xA0, 0xC9, 0x0C, 0x2B, 0xD8}};
// The interface ID of IResponse.
inline constexpr IID IID_IResponse = {0xD97A6DA0, 0xA864, 0x11CF, {0x83, 0xBE, 0x00, 0xA0, 0xC9, 0x0C, 0x2B, 0xD8}};

// The page's Request object: the posted body's size and its bytes.
struct IRequest : IDispatch {
  virtual HRESULT STDMETHODCALLTYPE get_Item(BSTR name, IDispatch** value) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_QueryString(IRequestDictionary** values) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_Form(IRequestDictionary** values) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_Body(IRequestDictionary** values) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_ServerVariables(IRequestDictionary** values) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_ClientCertificate(IRequestDictionary** values) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_Cookies(IRequestDictionary** values) = 0;
  // The length of the posted body in bytes.
  virtual HRESULT STDMETHODCALLTYPE get_TotalBytes(LONG* totalBytes) = 0;
  // Reads up to *count bytes of the body (count: VT_I4 or VT_UI4 and
  // friends) into *result as a new VT_ARRAY | VT_UI1 array the caller owns;
  // *count then holds the number of bytes read.
  virtual HRESULT STDMETHODCALLTYPE BinaryRead(VARIANT* count, VARIANT* result) = 0;
};

// The page's Response object: buffering and binary writes.
struct IResponse : IDispatch {
  virtual HRESULT STDMETHODCALLTYPE get_Buffer(VARIANT_BOOL* buffering) = 0;
  // VARIANT_FALSE sends every write to the client at once.
  virtual HRESULT STDMETHODCALLTYPE put_Buffer(VARIANT_BOOL buffering) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_ContentType(BSTR* contentType) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_ContentType(BSTR contentType) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_Expires(VARIANT* minutes) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_Expires(LONG minutes) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_ExpiresAbsolute(VARIANT* when) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_ExpiresAbsolute(DATE when) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_Cookies(IRequestDictionary** cookies) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_Status(BSTR* status) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_Status(BSTR status) = 0;
  virtual HRESULT STDMETHODCALLTYPE Add(BSTR headerValue, BSTR headerName) = 0;
  virtual HRESULT STDMETHODCALLTYPE AddHeader(BSTR headerName, BSTR headerValue) = 0;
  virtual HRESULT STDMETHODCALLTYPE AppendToLog(BSTR entry) = 0;
  // Sends the bytes of a VT_ARRAY | VT_UI1 variant; the caller keeps the variant.
  virtual HRESULT STDMETHODCALLTYPE BinaryWrite(VARIANT data) = 0;
  virtual HRESULT STDMETHODCALLTYPE Clear() = 0;
  virtual HRESULT STDMETHODCALLTYPE End() = 0;
  virtual HRESULT STDMETHODCALLTYPE Flush() = 0;
  virtual HRESULT STDMETHODCALLTYPE Redirect(BSTR url) = 0;
  virtual HRESULT STDMETHODCALLTYPE Write(VARIANT text) = 0;
  virtual HRESULT STDMETHODCALLTYPE WriteBlock(short blockNumber) = 0;
  virtual HRESULT STDMETHODCALLTYPE IsClientConnected(VARIANT_BOOL* connected) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_CharSet(BSTR* charSet) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_CharSet(BSTR charSet) = 0;
  virtual HRESULT STDMETHODCALLTYPE Pics(BSTR headerValue) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_CacheControl(BSTR* cacheControl) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_CacheControl(BSTR cacheControl) = 0;
};

}  // namespace IIS
}  // namespace DRAVHelpers
