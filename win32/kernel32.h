// The kernel32 functions the library calls, for hosts without Windows: the
// per-thread last error, critical sections, code-page conversion and
// loading a library at run time.
//
// Behaviour follows the Windows documentation, error codes included. The
// ANSI code page of these hosts is UTF-8: CP_ACP and CP_THREAD_ACP behave
// exactly as CP_UTF8 (as on Windows with UTF-8 as the ANSI code page). Other
// code pages are refused with ERROR_INVALID_PARAMETER. Not a general kernel32.
#pragma once

#include <win32/windef.h>

#include <drav/export.h>

// --- Last error ----------------------------------------------------------------

// The calling thread's last-error code; each thread has its own.
DRAV_EXPORT DWORD WINAPI GetLastError();
DRAV_EXPORT void WINAPI SetLastError(DWORD error);

// --- Critical sections -------------------------------------------------------

// Recursive, like on Windows: the owning thread may enter again and must leave
// as often as it entered. Initialize before use, Delete when done; the struct
// must not be copied or moved while initialized.
struct CRITICAL_SECTION {
  alignas(16) unsigned char opaque[64];
};
typedef CRITICAL_SECTION* LPCRITICAL_SECTION;

DRAV_EXPORT void WINAPI InitializeCriticalSection(LPCRITICAL_SECTION section);
DRAV_EXPORT void WINAPI EnterCriticalSection(LPCRITICAL_SECTION section);
DRAV_EXPORT BOOL WINAPI TryEnterCriticalSection(LPCRITICAL_SECTION section);
DRAV_EXPORT void WINAPI LeaveCriticalSection(LPCRITICAL_SECTION section);
DRAV_EXPORT void WINAPI DeleteCriticalSection(LPCRITICAL_SECTION section);

// --- Code pages ----------------------------------------------------------------

#define CP_ACP 0
#define CP_THREAD_ACP 3
#define CP_UTF8 65001
#define MB_PRECOMPOSED 0x00000001
#define MB_ERR_INVALID_CHARS 0x00000008
#define WC_ERR_INVALID_CHARS 0x00000080

// Narrow (UTF-8) to UTF-16. cbMultiByte -1 reads up to and including the NUL.
// cchWideChar 0 asks for the size needed and writes nothing. Returns the
// units written (or needed), or 0 with the last error set:
// ERROR_INVALID_PARAMETER, ERROR_INVALID_FLAGS, ERROR_INSUFFICIENT_BUFFER,
// ERROR_NO_UNICODE_TRANSLATION (invalid input under MB_ERR_INVALID_CHARS;
// without the flag each invalid sequence becomes U+FFFD).
DRAV_EXPORT int WINAPI MultiByteToWideChar(UINT codePage, DWORD flags, LPCCH multiByte, int cbMultiByte,
                                           LPWSTR wideChar, int cchWideChar);

// UTF-16 to narrow (UTF-8). cchWideChar -1 reads up to and including the NUL;
// cbMultiByte 0 asks for the size. Unpaired surrogates become U+FFFD, or fail
// with ERROR_NO_UNICODE_TRANSLATION under WC_ERR_INVALID_CHARS. defaultChar and
// usedDefaultChar must be null for UTF-8 (ERROR_INVALID_PARAMETER otherwise).
DRAV_EXPORT int WINAPI WideCharToMultiByte(UINT codePage, DWORD flags, LPCWCH wideChar, int cchWideChar,
                                           LPSTR multiByte, int cbMultiByte, LPCCH defaultChar,
                                           LPBOOL usedDefaultChar);

// --- Run-time loading ----------------------------------------------------------

// Loads a shared library through the normal dlopen search. A bare name
// without extension ("x") or with the Windows extension ("x.dll") means
// "libx.so", as Windows appends ".dll"; a name with a path or another
// extension is used as given. Returns null with ERROR_MOD_NOT_FOUND when it
// cannot be loaded, leaving dlopen's reason to dlerror(). The caller releases
// the handle with FreeLibrary; loads are counted as on Windows.
DRAV_EXPORT HMODULE WINAPI LoadLibraryA(LPCSTR fileName);
DRAV_EXPORT HMODULE WINAPI LoadLibraryW(LPCWSTR fileName);
// The address of an exported function; valid while the module stays loaded.
// Null with ERROR_PROC_NOT_FOUND when absent (ordinals are not supported).
DRAV_EXPORT FARPROC WINAPI GetProcAddress(HMODULE module, LPCSTR procName);
DRAV_EXPORT BOOL WINAPI FreeLibrary(HMODULE module);
