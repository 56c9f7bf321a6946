// Test doubles for COM objects: a reference-counted object a test can watch,
// and Request/Response objects that behave as an ASP host's do (chunked
// BinaryRead, BinaryWrite that records what was sent).
//
// The objects never delete themselves: the test owns them (on the stack or
// in a unique_ptr) and reads refCount() at the end, so a leaked or doubled
// Release shows up as a count instead of a crash.
#pragma once

#include <drav/platform/asp.h>
#include <drav/platform/win32.h>

#include <cstddef>
#include <vector>

namespace dravtest {

// IUnknown and IDispatch with a visible reference count, starting at 1 (the
// creator's reference). QueryInterface answers IUnknown, IDispatch and
// whatever answers() adds; the IDispatch methods are not implemented.
template <typename Interface>
class CountedObject : public Interface {
public:
  CountedObject() = default;
  CountedObject(const CountedObject&) = delete;
  CountedObject& operator=(const CountedObject&) = delete;
  virtual ~CountedObject() = default;

  long refCount() const { return count_; }
  // True once Release was called with no reference left.
  bool overReleased() const { return overReleased_; }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
    if (!object) return E_POINTER;
    if (IsEqualGUID(riid, IID_IUnknown) || IsEqualGUID(riid, IID_IDispatch) || answers(riid)) {
      *object = static_cast<Interface*>(this);
      AddRef();
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(++count_); }
  ULONG STDMETHODCALLTYPE Release() override {
    if (count_ == 0) {
      overReleased_ = true;
      return 0;
    }
    return static_cast<ULONG>(--count_);
  }

  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
    return E_NOTIMPL;
  }

protected:
  virtual bool answers(REFIID) const { return false; }

private:
  long count_ = 1;
  bool overReleased_ = false;
};

// An IDispatch that offers no other interface (not a request, not a response).
using CountedDispatch = CountedObject<IDispatch>;

// An IDispatch that claims every interface asked for but hands out none
// (S_OK with a null pointer), as a broken host object may.
class EmptyHandedDispatch : public CountedDispatch {
public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** object) override {
    if (object) *object = nullptr;
    return S_OK;
  }
};

// The posted body of one request, handed out by BinaryRead as a host does.
class FakeRequest : public CountedObject<DRAVHelpers::IIS::IRequest> {
public:
  explicit FakeRequest(std::vector<unsigned char> body) : body_(std::move(body)) {}

  // Behaviour switches, for failure paths.
  bool failTotalBytes = false;  // get_TotalBytes fails
  bool failRead = false;        // BinaryRead fails
  bool readWithoutArray = false;  // BinaryRead succeeds but leaves the result empty
  std::size_t maxPerRead = 0;   // when not 0, a read delivers at most this many bytes

  // The count each BinaryRead asked for, in call order.
  const std::vector<long>& requestedCounts() const { return requested_; }
  std::size_t position() const { return position_; }

  HRESULT STDMETHODCALLTYPE get_TotalBytes(LONG* totalBytes) override;
  HRESULT STDMETHODCALLTYPE BinaryRead(VARIANT* count, VARIANT* result) override;

  HRESULT STDMETHODCALLTYPE get_Item(BSTR, IDispatch**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_QueryString(DRAVHelpers::IIS::IRequestDictionary**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_Form(DRAVHelpers::IIS::IRequestDictionary**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_Body(DRAVHelpers::IIS::IRequestDictionary**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_ServerVariables(DRAVHelpers::IIS::IRequestDictionary**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_ClientCertificate(DRAVHelpers::IIS::IRequestDictionary**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_Cookies(DRAVHelpers::IIS::IRequestDictionary**) override { return E_NOTIMPL; }

protected:
  bool answers(REFIID riid) const override { return IsEqualGUID(riid, DRAVHelpers::IIS::IID_IRequest); }

private:
  std::vector<unsigned char> body_;
  std::size_t position_ = 0;
  std::vector<long> requested_;
};

// A response that records what BinaryWrite sent and how buffering was set.
class FakeResponse : public CountedObject<DRAVHelpers::IIS::IResponse> {
public:
  bool failWrites = false;

  // Every byte sent, in order, and each write on its own.
  const std::vector<unsigned char>& sent() const { return sent_; }
  const std::vector<std::vector<unsigned char>>& writes() const { return writes_; }
  const std::vector<VARIANT_BOOL>& bufferSettings() const { return buffer_; }

  HRESULT STDMETHODCALLTYPE put_Buffer(VARIANT_BOOL buffering) override;
  HRESULT STDMETHODCALLTYPE BinaryWrite(VARIANT data) override;

  HRESULT STDMETHODCALLTYPE get_Buffer(VARIANT_BOOL*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_ContentType(BSTR*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE put_ContentType(BSTR) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_Expires(VARIANT*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE put_Expires(LONG) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_ExpiresAbsolute(VARIANT*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE put_ExpiresAbsolute(DATE) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_Cookies(DRAVHelpers::IIS::IRequestDictionary**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_Status(BSTR*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE put_Status(BSTR) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Add(BSTR, BSTR) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE AddHeader(BSTR, BSTR) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE AppendToLog(BSTR) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Clear() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE End() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Flush() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Redirect(BSTR) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Write(VARIANT) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE WriteBlock(short) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE IsClientConnected(VARIANT_BOOL*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_CharSet(BSTR*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE put_CharSet(BSTR) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Pics(BSTR) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_CacheControl(BSTR*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE put_CacheControl(BSTR) override { return E_NOTIMPL; }

protected:
  bool answers(REFIID riid) const override { return IsEqualGUID(riid, DRAVHelpers::IIS::IID_IResponse); }

private:
  std::vector<unsigned char> sent_;
  std::vector<std::vector<unsigned char>> writes_;
  std::vector<VARIANT_BOOL> buffer_;
};

}  // namespace dravtest
