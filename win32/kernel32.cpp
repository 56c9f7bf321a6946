#include <win32/kernel32.h>

#include <win32/utf_text.h>

#include <dlfcn.h>

#include <cstring>
#include <mutex>
#include <new>
#include <string>

// --- Last error ----------------------------------------------------------------

namespace {
thread_local DWORD tLastError = ERROR_SUCCESS;
}

DWORD WINAPI GetLastError() { return tLastError; }
void WINAPI SetLastError(DWORD error) { tLastError = error; }

// --- Critical sections -------------------------------------------------------

namespace {
static_assert(sizeof(std::recursive_mutex) <= sizeof(CRITICAL_SECTION::opaque), "critical section storage too small");
static_assert(alignof(std::recursive_mutex) <= alignof(CRITICAL_SECTION), "critical section storage misaligned");

std::recursive_mutex& mutexOf(LPCRITICAL_SECTION section) {
  return *std::launder(reinterpret_cast<std::recursive_mutex*>(section->opaque));
}
}  // namespace

void WINAPI InitializeCriticalSection(LPCRITICAL_SECTION section) { new (section->opaque) std::recursive_mutex(); }
void WINAPI EnterCriticalSection(LPCRITICAL_SECTION section) { mutexOf(section).lock(); }
BOOL WINAPI TryEnterCriticalSection(LPCRITICAL_SECTION section) { return mutexOf(section).try_lock() ? TRUE : FALSE; }
void WINAPI LeaveCriticalSection(LPCRITICAL_SECTION section) { mutexOf(section).unlock(); }
void WINAPI DeleteCriticalSection(LPCRITICAL_SECTION section) { mutexOf(section).~recursive_mutex(); }

// --- Code pages ----------------------------------------------------------------

using drav_win32::utf16ToUtf8;
using drav_win32::utf8ToUtf16;

namespace {

bool isUtf8CodePage(UINT codePage) { return codePage == CP_ACP || codePage == CP_THREAD_ACP || codePage == CP_UTF8; }

std::size_t wideLength(const WCHAR* s) {
  std::size_t n = 0;
  while (s[n] != 0) ++n;
  return n;
}

int fail(DWORD error) {
  SetLastError(error);
  return 0;
}

// Copies the converted units out, or reports the size when capacity is 0.
template <typename Unit>
int deliver(const std::basic_string<Unit>& converted, Unit* out, int capacity) {
  if (converted.size() > static_cast<std::size_t>(INT32_MAX)) return fail(ERROR_INVALID_PARAMETER);
  const int needed = static_cast<int>(converted.size());
  if (capacity == 0) return needed;
  if (needed > capacity) return fail(ERROR_INSUFFICIENT_BUFFER);
  std::memcpy(out, converted.data(), converted.size() * sizeof(Unit));
  return needed;
}

}  // namespace

int WINAPI MultiByteToWideChar(UINT codePage, DWORD flags, LPCCH multiByte, int cbMultiByte, LPWSTR wideChar,
                               int cchWideChar) {
  if (!multiByte || cbMultiByte == 0 || cbMultiByte < -1 || cchWideChar < 0 || (cchWideChar && !wideChar) ||
      static_cast<const void*>(multiByte) == static_cast<const void*>(wideChar))
    return fail(ERROR_INVALID_PARAMETER);
  if (!isUtf8CodePage(codePage)) return fail(ERROR_INVALID_PARAMETER);
  if (flags & ~static_cast<DWORD>(MB_ERR_INVALID_CHARS)) return fail(ERROR_INVALID_FLAGS);

  const std::size_t length = cbMultiByte == -1 ? std::strlen(multiByte) + 1 : static_cast<std::size_t>(cbMultiByte);
  std::basic_string<WCHAR> converted;
  if (!utf8ToUtf16(reinterpret_cast<const unsigned char*>(multiByte), length, flags & MB_ERR_INVALID_CHARS, converted))
    return fail(ERROR_NO_UNICODE_TRANSLATION);
  return deliver(converted, wideChar, cchWideChar);
}

int WINAPI WideCharToMultiByte(UINT codePage, DWORD flags, LPCWCH wideChar, int cchWideChar, LPSTR multiByte,
                               int cbMultiByte, LPCCH defaultChar, LPBOOL usedDefaultChar) {
  if (!wideChar || cchWideChar == 0 || cchWideChar < -1 || cbMultiByte < 0 || (cbMultiByte && !multiByte) ||
      static_cast<const void*>(multiByte) == static_cast<const void*>(wideChar))
    return fail(ERROR_INVALID_PARAMETER);
  if (!isUtf8CodePage(codePage) || defaultChar || usedDefaultChar) return fail(ERROR_INVALID_PARAMETER);
  if (flags & ~static_cast<DWORD>(WC_ERR_INVALID_CHARS)) return fail(ERROR_INVALID_FLAGS);

  const std::size_t count = cchWideChar == -1 ? wideLength(wideChar) + 1 : static_cast<std::size_t>(cchWideChar);
  std::string converted;
  if (!utf16ToUtf8(wideChar, count, flags & WC_ERR_INVALID_CHARS, converted)) return fail(ERROR_NO_UNICODE_TRANSLATION);
  return deliver(converted, multiByte, cbMultiByte);
}

// --- Run-time loading ----------------------------------------------------------

namespace {

bool endsWithDll(const std::string& name) {
  if (name.size() < 4) return false;
  std::string tail = name.substr(name.size() - 4);
  for (char& c : tail) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c);
  return tail == ".dll";
}

// "x" and "x.dll" become "libx.so" (in the same directory, if one is given).
std::string sharedObjectName(const std::string& name) {
  const std::size_t slash = name.rfind('/');
  const std::size_t baseStart = slash == std::string::npos ? 0 : slash + 1;
  std::string base = name.substr(baseStart);
  if (endsWithDll(base))
    base.resize(base.size() - 4);
  else if (base.find('.') != std::string::npos)
    return name;
  return name.substr(0, baseStart) + "lib" + base + ".so";
}

}  // namespace

HMODULE WINAPI LoadLibraryA(LPCSTR fileName) {
  if (!fileName) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  if (!*fileName) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  void* handle = dlopen(sharedObjectName(fileName).c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle) SetLastError(ERROR_MOD_NOT_FOUND);
  return static_cast<HMODULE>(handle);
}

HMODULE WINAPI LoadLibraryW(LPCWSTR fileName) {
  if (!fileName) return LoadLibraryA(nullptr);
  std::string narrow;
  if (!utf16ToUtf8(fileName, wideLength(fileName), true, narrow)) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  return LoadLibraryA(narrow.c_str());
}

FARPROC WINAPI GetProcAddress(HMODULE module, LPCSTR procName) {
  if (!module) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  // A "name" below 0x10000 is an ordinal, which shared objects do not have.
  if (reinterpret_cast<std::uintptr_t>(procName) < 0x10000) {
    SetLastError(ERROR_PROC_NOT_FOUND);
    return nullptr;
  }
  void* symbol = dlsym(module, procName);
  if (!symbol) {
    SetLastError(ERROR_PROC_NOT_FOUND);
    return nullptr;
  }
  return reinterpret_cast<FARPROC>(symbol);
}

BOOL WINAPI FreeLibrary(HMODULE module) {
  if (!module || dlclose(module) != 0) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return TRUE;
}
