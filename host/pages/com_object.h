// The COM plumbing of the host's page objects: a reference count that frees
// the object at zero, QueryInterface by IID (IUnknown, IDispatch and the
// object's own interface), and IDispatch without type information (late
// binding is not offered). Not a class factory or apartment model.
#pragma once

#include <drav/platform/win32.h>

#include <atomic>

namespace DRAVHost {

template <typename Interface>
class ComObject : public Interface {
public:
  ComObject(const ComObject&) = delete;
  ComObject& operator=(const ComObject&) = delete;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
    if (!object) return E_POINTER;
    if (IsEqualGUID(riid, IID_IUnknown) || IsEqualGUID(riid, IID_IDispatch) || IsEqualGUID(riid, interfaceId_)) {
      *object = static_cast<Interface*>(this);
      AddRef();
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++count_; }
  // The last reference frees the object.
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG left = --count_;
    if (left == 0) delete this;
    return left;
  }

  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
    if (!count) return E_POINTER;
    *count = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo** info) override {
    if (info) *info = nullptr;
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
    return E_NOTIMPL;
  }

protected:
  // The creator holds the first reference.
  explicit ComObject(const IID& interfaceId) : interfaceId_(interfaceId) {}
  virtual ~ComObject() = default;

private:
  const IID interfaceId_;
  std::atomic<ULONG> count_{1};
};

}  // namespace DRAVHost
