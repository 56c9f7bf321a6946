// Small readers of HTTP header values the host checks: names compared in any
// case, blanks trimmed, the decimal sizes of the call headers, cookies (Basic
// credentials: basic_credentials.h). Each refuses what does not parse
// instead of guessing. Not a general HTTP header library.
#pragma once

#include <win32/ascii_case.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace DRAVHost {

// ASCII letters compared in any case, whatever the locale. Inline: a request's
// header lookups make dozens of these, most ending at the lengths.
inline bool equalsIgnoringCase(std::string_view a, std::string_view b) { return drav_wininet::equalsNoCase(a, b); }

// `text` without the spaces and tabs at either end.
std::string trimBlanks(const std::string& text);

// Decimal digits only (no sign, no blanks, at least one digit), at most
// 2^31 - 1: the call headers carry sizes as signed 32-bit numbers.
std::optional<std::uint32_t> parseSize(const std::string& text);

// The value of the first cookie named `name` in a Cookie header; nothing when absent.
std::optional<std::string> findCookie(const std::string& cookieHeader, const std::string& name);

// True when `text` may go into a header: no CR, LF or NUL.
bool isHeaderSafe(const std::string& text);

}  // namespace DRAVHost
