// The OLE Automation subset the library calls, for hosts without Windows:
// BSTR, VARIANT, SAFEARRAY, COM task memory and the IUnknown / IDispatch
// interfaces, with the documented layouts, results and HRESULTs.
//
// Not here: type libraries, IRecordInfo beyond its name, variant type
// conversion, vectors and record arrays. SAFEARRAYs hold numbers, BOOL,
// BSTR, VARIANT or interface pointers; other element types are refused.
// Nothing here locks against other threads: an array or variant is used by
// one thread at a time, as the COM apartment rules make it.
#pragma once

#ifdef _WIN32
#error "win32/oleauto.h is for hosts without Windows; include <drav/platform/win32.h>"
#endif

#include <win32/windef.h>

#include <drav/export.h>

typedef unsigned short VARTYPE;
typedef SHORT VARIANT_BOOL;
typedef OLECHAR* BSTR;
typedef double DATE;
typedef DWORD LCID;
typedef LONG DISPID;

#define VARIANT_TRUE (static_cast<VARIANT_BOOL>(-1))
#define VARIANT_FALSE (static_cast<VARIANT_BOOL>(0))

// Currency: a 64-bit integer scaled by 10,000.
struct CY {
  LONGLONG int64;
};

struct DECIMAL {
  USHORT wReserved;
  BYTE scale;
  BYTE sign;
  ULONG Hi32;
  ULONGLONG Lo64;
};

enum VARENUM : VARTYPE {
  VT_EMPTY = 0,
  VT_NULL = 1,
  VT_I2 = 2,
  VT_I4 = 3,
  VT_R4 = 4,
  VT_R8 = 5,
  VT_CY = 6,
  VT_DATE = 7,
  VT_BSTR = 8,
  VT_DISPATCH = 9,
  VT_ERROR = 10,
  VT_BOOL = 11,
  VT_VARIANT = 12,
  VT_UNKNOWN = 13,
  VT_DECIMAL = 14,
  VT_I1 = 16,
  VT_UI1 = 17,
  VT_UI2 = 18,
  VT_UI4 = 19,
  VT_I8 = 20,
  VT_UI8 = 21,
  VT_INT = 22,
  VT_UINT = 23,
  VT_RECORD = 36,
  VT_VECTOR = 0x1000,
  VT_ARRAY = 0x2000,
  VT_BYREF = 0x4000,
  VT_RESERVED = 0x8000,
  VT_TYPEMASK = 0x0FFF,
};

struct IUnknown;
struct IDispatch;
struct IRecordInfo;
struct ITypeInfo;
struct SAFEARRAY;

// --- Task memory ----------------------------------------------------------------

// Memory that crosses a COM boundary; whoever ends up owning it calls CoTaskMemFree.
DRAV_EXPORT LPVOID WINAPI CoTaskMemAlloc(SIZE_T size);  // null on failure; 0 bytes gives a valid pointer
DRAV_EXPORT void WINAPI CoTaskMemFree(LPVOID block);     // null is ignored
// Not a Windows function: how many task-memory blocks (BSTRs, SAFEARRAY
// descriptors and data, ...) are allocated and not yet freed, so that tests on
// these hosts can show an operation gives back all it took.
DRAV_EXPORT SIZE_T WINAPI DravTaskMemoryBlocksInUse();

// --- BSTR -------------------------------------------------------------------------

// A BSTR points at 16-bit units behind a 4-byte byte-length prefix and is
// followed by a NUL unit; it may hold NULs. A null BSTR reads as empty. Each
// allocation belongs to the caller, who releases it with SysFreeString.
DRAV_EXPORT BSTR WINAPI SysAllocString(const OLECHAR* text);  // NUL-terminated; null gives null
// `length` units copied from `text`, or zeroed when `text` is null.
DRAV_EXPORT BSTR WINAPI SysAllocStringLen(const OLECHAR* text, UINT length);
// `length` bytes copied from `bytes` (zeroed when null); the length prefix is `length`.
DRAV_EXPORT BSTR WINAPI SysAllocStringByteLen(LPCSTR bytes, UINT length);
DRAV_EXPORT UINT WINAPI SysStringLen(BSTR text);      // units; 0 for null
DRAV_EXPORT UINT WINAPI SysStringByteLen(BSTR text);  // bytes; 0 for null
DRAV_EXPORT void WINAPI SysFreeString(BSTR text);     // null is ignored

// --- VARIANT ------------------------------------------------------------------------

// The documented layout: the type, three reserved words and the value union
// (16 bytes on 32-bit hosts, 24 on 64-bit ones). Members without a value of
// their own (VT_BYREF forms) point at storage the variant does not own.
// The nameless members need a compiler extension, as in the Windows headers.
#ifdef __clang__
#pragma clang diagnostic push
#pragma clang diagnostic ignored "-Wnested-anon-types"
#endif
struct VARIANT {
  union {
    __extension__ struct {
      VARTYPE vt;
      WORD wReserved1;
      WORD wReserved2;
      WORD wReserved3;
      union {
        LONGLONG llVal;
        LONG lVal;
        BYTE bVal;
        SHORT iVal;
        FLOAT fltVal;
        DOUBLE dblVal;
        VARIANT_BOOL boolVal;
        SCODE scode;
        CY cyVal;
        DATE date;
        BSTR bstrVal;
        IUnknown* punkVal;
        IDispatch* pdispVal;
        SAFEARRAY* parray;
        BYTE* pbVal;
        SHORT* piVal;
        LONG* plVal;
        LONGLONG* pllVal;
        FLOAT* pfltVal;
        DOUBLE* pdblVal;
        VARIANT_BOOL* pboolVal;
        SCODE* pscode;
        CY* pcyVal;
        DATE* pdate;
        BSTR* pbstrVal;
        IUnknown** ppunkVal;
        IDispatch** ppdispVal;
        SAFEARRAY** pparray;
        VARIANT* pvarVal;
        PVOID byref;
        CHAR cVal;
        USHORT uiVal;
        ULONG ulVal;
        ULONGLONG ullVal;
        INT intVal;
        UINT uintVal;
        DECIMAL* pdecVal;
        CHAR* pcVal;
        USHORT* puiVal;
        ULONG* pulVal;
        ULONGLONG* pullVal;
        INT* pintVal;
        UINT* puintVal;
        __extension__ struct {
          PVOID pvRecord;
          IRecordInfo* pRecInfo;
        };
      };
    };
    DECIMAL decVal;
  };
};
#ifdef __clang__
#pragma clang diagnostic pop
#endif
typedef VARIANT VARIANTARG;
typedef VARIANT* LPVARIANT;

DRAV_EXPORT void WINAPI VariantInit(VARIANTARG* variant);  // sets VT_EMPTY; releases nothing
// Releases what the variant owns (BSTR, array, interface reference) and
// sets VT_EMPTY. By-reference forms own nothing. E_INVALIDARG for null,
// DISP_E_BADVARTYPE for an invalid type, DISP_E_ARRAYISLOCKED for a locked
// array, E_NOTIMPL for a record with record information; on failure the
// variant is left as it was, so nothing is lost.
DRAV_EXPORT HRESULT WINAPI VariantClear(VARIANTARG* variant);
// Clears `dest`, then gives it a deep copy of `source` (own BSTR, own array,
// one more interface reference; by-reference forms are copied as pointers).
DRAV_EXPORT HRESULT WINAPI VariantCopy(VARIANTARG* dest, const VARIANTARG* source);

// --- SAFEARRAY ----------------------------------------------------------------------

struct SAFEARRAYBOUND {
  ULONG cElements;
  LONG lLbound;
};
typedef SAFEARRAYBOUND* LPSAFEARRAYBOUND;

// rgsabound is stored in reverse order: rgsabound[0] is the last dimension,
// the one SafeArrayRedim changes. The first dimension varies fastest in pvData.
struct SAFEARRAY {
  USHORT cDims;
  USHORT fFeatures;
  ULONG cbElements;
  ULONG cLocks;
  PVOID pvData;
  SAFEARRAYBOUND rgsabound[1];
};
typedef SAFEARRAY* LPSAFEARRAY;

#define FADF_AUTO 0x0001
#define FADF_STATIC 0x0002
#define FADF_EMBEDDED 0x0004
#define FADF_FIXEDSIZE 0x0010
#define FADF_RECORD 0x0020
#define FADF_HAVEIID 0x0040
#define FADF_HAVEVARTYPE 0x0080
#define FADF_BSTR 0x0100
#define FADF_UNKNOWN 0x0200
#define FADF_DISPATCH 0x0400
#define FADF_VARIANT 0x0800
#define FADF_RESERVED 0xF008

// A new zero-filled array; null for an unsupported element type, no
// dimensions, null bounds, more than 2^32 - 1 bytes of data or no memory.
// The caller owns it and releases it with SafeArrayDestroy.
DRAV_EXPORT SAFEARRAY* WINAPI SafeArrayCreate(VARTYPE vt, UINT dimensions, SAFEARRAYBOUND* bounds);
// Releases the elements (BSTRs, variants, interface references), the data
// and the descriptor. Null gives S_OK; a locked array DISP_E_ARRAYISLOCKED.
DRAV_EXPORT HRESULT WINAPI SafeArrayDestroy(SAFEARRAY* array);
// Releases the elements and the data block only; pvData becomes null.
DRAV_EXPORT HRESULT WINAPI SafeArrayDestroyData(SAFEARRAY* array);
// Lock counts up to 65535 (E_UNEXPECTED beyond); unlocking an unlocked
// array gives E_UNEXPECTED. A locked array keeps its data where it is.
DRAV_EXPORT HRESULT WINAPI SafeArrayLock(SAFEARRAY* array);
DRAV_EXPORT HRESULT WINAPI SafeArrayUnlock(SAFEARRAY* array);
// New bounds for the last dimension: elements beyond the new end are
// released, new ones are zeroed. E_INVALIDARG for a fixed-size array,
// DISP_E_ARRAYISLOCKED while locked, E_OUTOFMEMORY when the data would not fit.
DRAV_EXPORT HRESULT WINAPI SafeArrayRedim(SAFEARRAY* array, SAFEARRAYBOUND* newBound);
// A deep copy in *copy (null for a null source), unlocked, with the same
// bounds and features; the caller owns it.
DRAV_EXPORT HRESULT WINAPI SafeArrayCopy(SAFEARRAY* source, SAFEARRAY** copy);
DRAV_EXPORT UINT WINAPI SafeArrayGetDim(SAFEARRAY* array);  // 0 for null
// Dimensions count from 1; a dimension out of range gives DISP_E_BADINDEX
// and leaves *bound untouched.
DRAV_EXPORT HRESULT WINAPI SafeArrayGetLBound(SAFEARRAY* array, UINT dimension, LONG* bound);
DRAV_EXPORT HRESULT WINAPI SafeArrayGetUBound(SAFEARRAY* array, UINT dimension, LONG* bound);
// One index per dimension, first dimension first. BSTR, VARIANT and
// interface elements are copied (the caller owns the copy it gets); for
// SafeArrayPutElement they are passed by value (a BSTR or interface pointer,
// a VARIANT*) and the array keeps a copy. DISP_E_BADINDEX outside the bounds.
DRAV_EXPORT HRESULT WINAPI SafeArrayGetElement(SAFEARRAY* array, LONG* indices, void* value);
DRAV_EXPORT HRESULT WINAPI SafeArrayPutElement(SAFEARRAY* array, LONG* indices, void* value);
// Locks the array and gives its data pointer, valid until SafeArrayUnaccessData.
DRAV_EXPORT HRESULT WINAPI SafeArrayAccessData(SAFEARRAY* array, void** data);
DRAV_EXPORT HRESULT WINAPI SafeArrayUnaccessData(SAFEARRAY* array);
// The element type; E_INVALIDARG when the array does not record one.
DRAV_EXPORT HRESULT WINAPI SafeArrayGetVartype(SAFEARRAY* array, VARTYPE* vt);

// --- IUnknown and IDispatch ------------------------------------------------------

// Objects own their lifetime through the reference count; a pointer handed
// out by QueryInterface carries one reference the receiver gives back with Release.
struct IUnknown {
  virtual HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) = 0;
  virtual ULONG STDMETHODCALLTYPE AddRef() = 0;
  virtual ULONG STDMETHODCALLTYPE Release() = 0;
};
typedef IUnknown* LPUNKNOWN;

struct EXCEPINFO {
  WORD wCode;
  WORD wReserved;
  BSTR bstrSource;
  BSTR bstrDescription;
  BSTR bstrHelpFile;
  DWORD dwHelpContext;
  PVOID pvReserved;
  HRESULT(STDMETHODCALLTYPE* pfnDeferredFillIn)(EXCEPINFO*);
  SCODE scode;
};

// Arguments in reverse order: rgvarg[0] is the last one.
struct DISPPARAMS {
  VARIANTARG* rgvarg;
  DISPID* rgdispidNamedArgs;
  UINT cArgs;
  UINT cNamedArgs;
};

#define DISPATCH_METHOD 0x1
#define DISPATCH_PROPERTYGET 0x2
#define DISPATCH_PROPERTYPUT 0x4
#define DISPATCH_PROPERTYPUTREF 0x8
#define DISPID_UNKNOWN (-1)
#define DISPID_VALUE 0
#define DISPID_PROPERTYPUT (-3)

struct IDispatch : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT index, LCID locale, ITypeInfo** info) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID locale,
                                                  DISPID* ids) = 0;
  virtual HRESULT STDMETHODCALLTYPE Invoke(DISPID member, REFIID riid, LCID locale, WORD flags, DISPPARAMS* params,
                                           VARIANT* result, EXCEPINFO* exception, UINT* argumentError) = 0;
};
typedef IDispatch* LPDISPATCH;

inline constexpr IID IID_NULL = {0x00000000, 0x0000, 0x0000, {0, 0, 0, 0, 0, 0, 0, 0}};
inline constexpr IID IID_IUnknown = {0x00000000, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
inline constexpr IID IID_IDispatch = {0x00020400, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
