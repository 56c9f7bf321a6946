// Base types, status codes and helpers of the Windows API subset, for hosts
// without Windows. Names and widths follow the Windows headers; on Windows
// the system headers are used instead (through drav/platform/win32.h).
//
// Widths: DWORD, LONG, ULONG and HRESULT are 32 bits on every host (Windows
// stores long in 32 bits); WCHAR/OLECHAR are 16-bit `unsigned short`, the
// unit type of ucs2string, never wchar_t.
//
// Wide literals: write DRAV_W("text"). It yields a `const WCHAR*` to a
// NUL-terminated array with static storage duration, on every host (on
// Windows it is L"text"). Only plain ASCII or \u escapes belong inside, and
// it is an expression, not an array: use it where a pointer is wanted.
//
// This is not a general Windows header: only what the library and its tests
// call is here.
#pragma once

#ifdef _WIN32
#error "win32/windef.h is for hosts without Windows; include <drav/platform/win32.h>"
#endif

#include <cstddef>
#include <cstdint>

// Calling conventions mean nothing on these hosts.
#define WINAPI
#define CALLBACK
#define STDMETHODCALLTYPE
#define STDAPICALLTYPE
#define STDAPI extern "C" HRESULT STDAPICALLTYPE
#define STDAPI_(type) extern "C" type STDAPICALLTYPE

typedef int BOOL;
typedef BOOL* LPBOOL;
typedef unsigned char BYTE;
typedef BYTE* LPBYTE;
typedef unsigned short WORD;
typedef std::uint32_t DWORD;
typedef DWORD* LPDWORD;
typedef std::int32_t LONG;
typedef std::uint32_t ULONG;
typedef LONG* PLONG;
typedef ULONG* PULONG;
typedef std::int64_t LONGLONG;
typedef std::uint64_t ULONGLONG;
typedef std::int16_t SHORT;
typedef std::uint16_t USHORT;
typedef int INT;
typedef unsigned int UINT;
typedef char CHAR;
typedef float FLOAT;
typedef double DOUBLE;
typedef std::size_t SIZE_T;
typedef std::intptr_t INT_PTR;
typedef std::uintptr_t UINT_PTR;
typedef std::intptr_t LONG_PTR;
typedef std::uintptr_t ULONG_PTR;
typedef ULONG_PTR DWORD_PTR;
typedef LONG HRESULT;
typedef LONG SCODE;

typedef unsigned short WCHAR;
typedef WCHAR OLECHAR;
typedef CHAR* LPSTR;
typedef const CHAR* LPCSTR;
typedef const CHAR* LPCCH;
typedef WCHAR* LPWSTR;
typedef const WCHAR* LPCWSTR;
typedef const WCHAR* LPCWCH;
typedef OLECHAR* LPOLESTR;
typedef const OLECHAR* LPCOLESTR;

typedef void* PVOID;
typedef void* LPVOID;
typedef const void* LPCVOID;
typedef void* HANDLE;
typedef HANDLE* LPHANDLE;
struct HINSTANCE__;
typedef HINSTANCE__* HINSTANCE;
typedef HINSTANCE HMODULE;
typedef INT_PTR (*FARPROC)();

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif
#ifndef MAX_PATH
#define MAX_PATH 260
#endif

// --- HRESULTs ----------------------------------------------------------------

#define SUCCEEDED(hr) (static_cast<HRESULT>(hr) >= 0)
#define FAILED(hr) (static_cast<HRESULT>(hr) < 0)
#define HRESULT_CODE(hr) ((hr) & 0xFFFF)
#define HRESULT_FACILITY(hr) (((hr) >> 16) & 0x1FFF)
#define FACILITY_WIN32 7
#define FACILITY_DISPATCH 2

inline HRESULT HRESULT_FROM_WIN32(DWORD error) {
  return static_cast<HRESULT>(error) <= 0
             ? static_cast<HRESULT>(error)
             : static_cast<HRESULT>((error & 0x0000FFFFu) | (FACILITY_WIN32 << 16) | 0x80000000u);
}

#define DRAV_HRESULT_(value) static_cast<HRESULT>(static_cast<std::uint32_t>(value))
#define S_OK DRAV_HRESULT_(0x00000000)
#define S_FALSE DRAV_HRESULT_(0x00000001)
#define E_NOTIMPL DRAV_HRESULT_(0x80004001)
#define E_NOINTERFACE DRAV_HRESULT_(0x80004002)
#define E_POINTER DRAV_HRESULT_(0x80004003)
#define E_ABORT DRAV_HRESULT_(0x80004004)
#define E_FAIL DRAV_HRESULT_(0x80004005)
#define E_UNEXPECTED DRAV_HRESULT_(0x8000FFFF)
#define E_ACCESSDENIED DRAV_HRESULT_(0x80070005)
#define E_HANDLE DRAV_HRESULT_(0x80070006)
#define E_OUTOFMEMORY DRAV_HRESULT_(0x8007000E)
#define E_INVALIDARG DRAV_HRESULT_(0x80070057)
#define DISP_E_UNKNOWNINTERFACE DRAV_HRESULT_(0x80020001)
#define DISP_E_MEMBERNOTFOUND DRAV_HRESULT_(0x80020003)
#define DISP_E_PARAMNOTFOUND DRAV_HRESULT_(0x80020004)
#define DISP_E_TYPEMISMATCH DRAV_HRESULT_(0x80020005)
#define DISP_E_UNKNOWNNAME DRAV_HRESULT_(0x80020006)
#define DISP_E_BADVARTYPE DRAV_HRESULT_(0x80020008)
#define DISP_E_EXCEPTION DRAV_HRESULT_(0x80020009)
#define DISP_E_OVERFLOW DRAV_HRESULT_(0x8002000A)
#define DISP_E_BADINDEX DRAV_HRESULT_(0x8002000B)
#define DISP_E_ARRAYISLOCKED DRAV_HRESULT_(0x8002000D)
#define DISP_E_BADPARAMCOUNT DRAV_HRESULT_(0x8002000E)
#define DISP_E_BADCALLEE DRAV_HRESULT_(0x80020010)
#define TYPE_E_TYPEMISMATCH DRAV_HRESULT_(0x80028CA0)

// --- Win32 error codes (GetLastError) ----------------------------------------

#define ERROR_SUCCESS 0L
#define NO_ERROR 0L
#define ERROR_FILE_NOT_FOUND 2L
#define ERROR_ACCESS_DENIED 5L
#define ERROR_INVALID_HANDLE 6L
#define ERROR_NOT_ENOUGH_MEMORY 8L
#define ERROR_OUTOFMEMORY 14L
#define ERROR_NOT_SUPPORTED 50L
#define ERROR_INVALID_PARAMETER 87L
#define ERROR_CALL_NOT_IMPLEMENTED 120L
#define ERROR_INSUFFICIENT_BUFFER 122L
#define ERROR_INVALID_NAME 123L
#define ERROR_MOD_NOT_FOUND 126L
#define ERROR_PROC_NOT_FOUND 127L
#define ERROR_BAD_ARGUMENTS 160L
#define ERROR_MORE_DATA 234L
#define ERROR_NO_MORE_ITEMS 259L
#define ERROR_IO_PENDING 997L
#define ERROR_INVALID_FLAGS 1004L
#define ERROR_NO_UNICODE_TRANSLATION 1113L

// --- GUIDs -------------------------------------------------------------------

struct GUID {
  std::uint32_t Data1;
  std::uint16_t Data2;
  std::uint16_t Data3;
  std::uint8_t Data4[8];
};
typedef GUID IID;
typedef GUID CLSID;
typedef const GUID& REFGUID;
typedef const IID& REFIID;
typedef const CLSID& REFCLSID;

inline bool IsEqualGUID(REFGUID a, REFGUID b) {
  if (a.Data1 != b.Data1 || a.Data2 != b.Data2 || a.Data3 != b.Data3) return false;
  for (int i = 0; i < 8; ++i)
    if (a.Data4[i] != b.Data4[i]) return false;
  return true;
}
inline bool IsEqualIID(REFIID a, REFIID b) { return IsEqualGUID(a, b); }
inline bool operator==(REFGUID a, REFGUID b) { return IsEqualGUID(a, b); }
inline bool operator!=(REFGUID a, REFGUID b) { return !IsEqualGUID(a, b); }

// --- Wide literals -----------------------------------------------------------

namespace drav_win32 {
namespace detail {
// A char16_t literal copied into WCHAR storage: no aliasing between the two types.
template <std::size_t N>
struct WideLiteral {
  WCHAR units[N];
};
template <std::size_t N>
constexpr WideLiteral<N> widen(const char16_t (&text)[N]) {
  WideLiteral<N> out{};
  for (std::size_t i = 0; i < N; ++i) out.units[i] = static_cast<WCHAR>(text[i]);
  return out;
}
}  // namespace detail
}  // namespace drav_win32

#define DRAV_W(text)                                                                   \
  ([]() -> const WCHAR* {                                                              \
    static constexpr auto drav_w_literal_ = ::drav_win32::detail::widen(u"" text);     \
    return drav_w_literal_.units;                                                      \
  }())
