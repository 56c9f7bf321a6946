#include <drav/platform/glossa.h>

#include <utf8.h>

#include <cstdint>
#include <cstring>

namespace {

constexpr std::uint32_t kReplacement = 0xFFFD;

std::size_t unitLength(const unsigned short* units) {
  std::size_t n = 0;
  if (units)
    while (units[n] != 0) ++n;
  return n;
}

bool isHighSurrogate(unsigned short u) { return u >= 0xD800 && u <= 0xDBFF; }
bool isLowSurrogate(unsigned short u) { return u >= 0xDC00 && u <= 0xDFFF; }

}  // namespace

namespace Glossa {

std::basic_string<unsigned short> utf8ToUtf16(const char* bytes, std::size_t length) {
  if (!bytes) return {};
  // ASCII, the usual text, goes across unit by unit; from the first other
  // byte on, into room for as many units as bytes (never fewer), then cut
  // to size.
  std::size_t n = 0;
  // Eight bytes at a time while none has its high bit set.
  for (std::uint64_t word; n + sizeof word <= length; n += sizeof word) {
    std::memcpy(&word, bytes + n, sizeof word);
    if (word & 0x8080808080808080ull) break;
  }
  while (n < length && static_cast<unsigned char>(bytes[n]) < 0x80) ++n;
  std::basic_string<unsigned short> out(reinterpret_cast<const unsigned char*>(bytes),
                                        reinterpret_cast<const unsigned char*>(bytes) + n);
  if (n == length) return out;
  out.resize(length);
  const char* it = bytes + n;
  const char* end = bytes + length;
  while (it < end) {
    if (static_cast<unsigned char>(*it) < 0x80) {  // most text is ASCII: no decoding needed
      out[n++] = static_cast<unsigned char>(*it++);
      continue;
    }
    std::uint32_t cp;
    const char* start = it;
    if (utf8::internal::validate_next(it, end, cp) != utf8::internal::UTF8_OK) {
      cp = kReplacement;
      it = start + 1;  // skip one byte of the malformed sequence and resynchronise
    }
    if (cp > 0xFFFF) {
      cp -= 0x10000;
      out[n++] = static_cast<unsigned short>(0xD800 + (cp >> 10));
      out[n++] = static_cast<unsigned short>(0xDC00 + (cp & 0x3FF));
    } else {
      out[n++] = static_cast<unsigned short>(cp);
    }
  }
  out.resize(n);
  return out;
}

std::string utf16ToUtf8(const unsigned short* units, std::size_t count) {
  std::string out;
  if (!units) return out;
  out.reserve(count);
  for (std::size_t i = 0; i < count; ++i) {
    std::uint32_t cp = units[i];
    if (cp < 0x80) {
      out.push_back(static_cast<char>(cp));
      continue;
    }
    if (isHighSurrogate(units[i]) && i + 1 < count && isLowSurrogate(units[i + 1])) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (units[i + 1] - 0xDC00);
      ++i;
    } else if (isHighSurrogate(units[i]) || isLowSurrogate(units[i])) {
      cp = kReplacement;
    }
    utf8::append(cp, std::back_inserter(out));
  }
  return out;
}

}  // namespace Glossa

zu_utf8string::zu_utf8string(const char* bytes) : bytes_(bytes ? bytes : "") {}

zu_utf8string::zu_utf8string(const char* bytes, std::size_t length)
    : bytes_(bytes ? std::string(bytes, length) : std::string()) {}

zu_utf8string::zu_utf8string(const unsigned short* ucs2)
    : bytes_(Glossa::utf16ToUtf8(ucs2, unitLength(ucs2))) {}

zu_utf8string::zu_utf8string(const ucs2string& ucs2)
    : bytes_(Glossa::utf16ToUtf8(ucs2.c_str(), ucs2.size())) {}

zu_utf8string& zu_utf8string::operator=(const unsigned char* bytes) {
  bytes_ = bytes ? reinterpret_cast<const char*>(bytes) : "";
  return *this;
}

ucs2string::ucs2string(const zu_utf8string& utf8)
    : units_(Glossa::utf8ToUtf16(utf8.str().data(), utf8.str().size())) {}

ucs2string::ucs2string(const unsigned short* units) : ucs2string(units, unitLength(units)) {}

ucs2string::ucs2string(const unsigned short* units, std::size_t count) {
  if (units) units_.assign(units, count);
}

ucs2string& ucs2string::assign(const unsigned char* utf8) {
  const char* bytes = reinterpret_cast<const char*>(utf8);
  units_ = Glossa::utf8ToUtf16(bytes, bytes ? std::strlen(bytes) : 0);
  return *this;
}
