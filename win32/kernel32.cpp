#include <win32/kernel32.h>

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

namespace {

constexpr WCHAR kReplacement = 0xFFFD;

bool isUtf8CodePage(UINT codePage) { return codePage == CP_ACP || codePage == CP_THREAD_ACP || codePage == CP_UTF8; }
bool isContinuation(unsigned char b) { return (b & 0xC0) == 0x80; }

// Decodes one sequence at `in`; returns the bytes it takes. On invalid input
// `valid` is false and the length is the maximal ill-formed prefix (at least
// one byte), so one U+FFFD stands for it.
std::size_t decodeOne(const unsigned char* in, std::size_t avail, char32_t& cp, bool& valid) {
  const unsigned char lead = in[0];
  valid = false;
  if (lead < 0x80) {
    cp = lead;
    valid = true;
    return 1;
  }
  std::size_t need;
  unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    need = 1;
    cp = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    need = 2;
    cp = lead & 0x0F;
    if (lead == 0xE0) lo = 0xA0;  // overlong
    if (lead == 0xED) hi = 0x9F;  // surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    need = 3;
    cp = lead & 0x07;
    if (lead == 0xF0) lo = 0x90;  // overlong
    if (lead == 0xF4) hi = 0x8F;  // beyond U+10FFFF
  } else {
    return 1;
  }
  std::size_t used = 1;
  for (std::size_t i = 0; i < need; ++i, ++used) {
    if (used >= avail) return used;
    const unsigned char b = in[used];
    if (i == 0 ? (b < lo || b > hi) : !isContinuation(b)) return used;
    cp = (cp << 6) | (b & 0x3F);
  }
  valid = true;
  return used;
}

bool utf8ToUtf16(const unsigned char* in, std::size_t length, bool strict, std::basic_string<WCHAR>& out) {
  std::size_t pos = 0;
  while (pos < length) {
    char32_t cp = 0;
    bool valid = false;
    pos += decodeOne(in + pos, length - pos, cp, valid);
    if (!valid) {
      if (strict) return false;
      out.push_back(kReplacement);
    } else if (cp >= 0x10000) {
      cp -= 0x10000;
      out.push_back(static_cast<WCHAR>(0xD800 + (cp >> 10)));
      out.push_back(static_cast<WCHAR>(0xDC00 + (cp & 0x3FF)));
    } else {
      out.push_back(static_cast<WCHAR>(cp));
    }
  }
  return true;
}

void appendUtf8(char32_t cp, std::string& out) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

bool utf16ToUtf8(const WCHAR* in, std::size_t count, bool strict, std::string& out) {
  for (std::size_t i = 0; i < count; ++i) {
    const WCHAR u = in[i];
    char32_t cp = u;
    if (u >= 0xD800 && u <= 0xDBFF && i + 1 < count && in[i + 1] >= 0xDC00 && in[i + 1] <= 0xDFFF) {
      cp = 0x10000 + ((char32_t(u) - 0xD800) << 10) + (in[i + 1] - 0xDC00);
      ++i;
    } else if (u >= 0xD800 && u <= 0xDFFF) {
      if (strict) return false;
      cp = kReplacement;
    }
    appendUtf8(cp, out);
  }
  return true;
}

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
