#include <win32/utf_text.h>

namespace {

constexpr WCHAR kReplacement = 0xFFFD;

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

// Copies the ASCII units at the start of `in` (most text is ASCII) in one
// step; returns how many.
template <class Unit, class Out>
std::size_t appendAsciiRun(const Unit* in, std::size_t count, Out& out) {
  std::size_t n = 0;
  while (n < count && in[n] < 0x80) ++n;
  const std::size_t at = out.size();
  out.resize(at + n);
  for (std::size_t i = 0; i < n; ++i) out[at + i] = static_cast<typename Out::value_type>(in[i]);
  return n;
}

}  // namespace

namespace drav_win32 {

bool utf8ToUtf16(const unsigned char* in, std::size_t length, bool strict, std::basic_string<WCHAR>& out) {
  std::size_t pos = 0;
  while (pos < length) {
    pos += appendAsciiRun(in + pos, length - pos, out);
    if (pos == length) break;
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

bool utf16ToUtf8(const WCHAR* in, std::size_t count, bool strict, std::string& out) {
  for (std::size_t i = 0; i < count; ++i) {
    i += appendAsciiRun(in + i, count - i, out);
    if (i == count) break;
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

std::basic_string<WCHAR> widen(const char* bytes, std::size_t length) {
  std::basic_string<WCHAR> units;
  units.reserve(length);  // never more units than bytes
  utf8ToUtf16(reinterpret_cast<const unsigned char*>(bytes), length, false, units);
  return units;
}

std::string narrow(const WCHAR* units, std::size_t count) {
  // ASCII, the usual text, is copied unit by unit into its final room; the
  // rest, from the first other unit on, is converted.
  std::string bytes(count, '\0');
  std::size_t ascii = 0;
  for (; ascii < count && units[ascii] < 0x80; ++ascii) bytes[ascii] = static_cast<char>(units[ascii]);
  if (ascii == count) return bytes;
  bytes.resize(ascii);
  utf16ToUtf8(units + ascii, count - ascii, false, bytes);
  return bytes;
}

}  // namespace drav_win32
