// Glossa strings: the UTF-8 string type of UTF8String values and the UCS-2
// (UTF-16 code unit) string used at COM and WinINet boundaries.
//
// Conversions never fail: malformed UTF-8 and unpaired surrogates become
// U+FFFD. These are value types, not a general Unicode library.
#pragma once

#include <drav/export.h>

#include <cstddef>
#include <string>

class ucs2string;

// UTF-8 bytes with a length; c_str() is always zero-terminated.
class DRAV_EXPORT zu_utf8string {
public:
  zu_utf8string() = default;
  zu_utf8string(const char* bytes);                         // zero-terminated UTF-8; null reads as empty
  zu_utf8string(const char* bytes, std::size_t length);     // exactly `length` bytes, NULs included
  zu_utf8string(const unsigned short* ucs2);                // zero-terminated UTF-16; null reads as empty
  zu_utf8string(const ucs2string& ucs2);
  explicit zu_utf8string(std::string bytes) : bytes_(std::move(bytes)) {}

  zu_utf8string& operator=(const unsigned char* bytes);    // zero-terminated UTF-8; null reads as empty
  // The bytes, for a reader that refills them in the storage they have.
  std::string& bytes() { return bytes_; }

  const unsigned char* c_str() const { return reinterpret_cast<const unsigned char*>(bytes_.c_str()); }
  unsigned int size() const { return static_cast<unsigned int>(bytes_.size()); }
  const std::string& str() const { return bytes_; }

  friend bool operator==(const zu_utf8string& a, const zu_utf8string& b) { return a.bytes_ == b.bytes_; }
  friend bool operator!=(const zu_utf8string& a, const zu_utf8string& b) { return !(a == b); }

private:
  std::string bytes_;
};

// UTF-16 code units; c_str() is always zero-terminated.
class DRAV_EXPORT ucs2string {
public:
  ucs2string() = default;
  ucs2string(const zu_utf8string& utf8);
  ucs2string(const unsigned short* units);                  // zero-terminated; null reads as empty
  ucs2string(const unsigned short* units, std::size_t count);

  ucs2string& assign(const unsigned char* utf8);            // zero-terminated UTF-8; null reads as empty

  const unsigned short* c_str() const { return units_.c_str(); }
  std::size_t size() const { return units_.size(); }
  const std::basic_string<unsigned short>& units() const { return units_; }

  friend bool operator==(const ucs2string& a, const ucs2string& b) { return a.units_ == b.units_; }
  friend bool operator!=(const ucs2string& a, const ucs2string& b) { return !(a == b); }

private:
  std::basic_string<unsigned short> units_;
};

namespace Glossa {
// Conversions behind the string classes, for callers that hold plain buffers.
DRAV_EXPORT std::basic_string<unsigned short> utf8ToUtf16(const char* bytes, std::size_t length);
// The reverse: UTF-16 code units to UTF-8.
DRAV_EXPORT std::string utf16ToUtf8(const unsigned short* units, std::size_t count);
}  // namespace Glossa
