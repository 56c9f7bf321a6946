// Reading a number from configuration text (a URL's port, the values of the
// "-DRAV..." options) the way the C library's atol reads it with a 32-bit
// long: leading white space, one optional sign, digits up to the first
// non-digit, 0 when there are none. Not a general number parser.
#pragma once

#include <cstdint>
#include <string>

namespace DRAV {
namespace detail {

// Never overflows: a value beyond the 32-bit range saturates at INT32_MAX or
// INT32_MIN, as atol does where it is documented to return LONG_MAX/LONG_MIN.
inline std::int32_t readSignedDecimal32(const char* text, std::size_t length) {
  std::size_t i = 0;
  while (i < length && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) ++i;
  bool negative = false;
  if (i < length && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  const std::int64_t limit = negative ? -static_cast<std::int64_t>(INT32_MIN) : INT32_MAX;
  std::int64_t magnitude = 0;
  for (; i < length && text[i] >= '0' && text[i] <= '9'; ++i) {
    magnitude = magnitude * 10 + (text[i] - '0');
    if (magnitude > limit) magnitude = limit;  // keeps the sum far from int64 overflow
  }
  return static_cast<std::int32_t>(negative ? -magnitude : magnitude);
}

inline std::int32_t readSignedDecimal32(const std::string& text) {
  return readSignedDecimal32(text.data(), text.size());
}

}  // namespace detail
}  // namespace DRAV
