// UTF-8 and UTF-16 text as the code-page calls of this layer convert it
// (CP_UTF8, which is also the ANSI code page here): ill-formed input either
// fails (strict) or becomes one U+FFFD per maximal ill-formed part, as on
// Windows. MultiByteToWideChar, WideCharToMultiByte and the wide-text
// arguments and answers of WinINet convert here; the library's own strings
// have theirs in drav/platform/glossa.h.
#pragma once

#include <win32/windef.h>

#include <cstddef>
#include <string>

namespace drav_win32 {

// Appends the conversion of `length` bytes (or `count` units) to `out`;
// false, with `out` partly written, when `strict` and the input is ill-formed.
bool utf8ToUtf16(const unsigned char* in, std::size_t length, bool strict, std::basic_string<WCHAR>& out);
bool utf16ToUtf8(const WCHAR* in, std::size_t count, bool strict, std::string& out);

// The lenient forms: never fail.
std::basic_string<WCHAR> widen(const char* bytes, std::size_t length);
std::string narrow(const WCHAR* units, std::size_t count);

}  // namespace drav_win32
