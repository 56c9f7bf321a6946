#include <drav/common/log_field.h>

#include <utf8.h>

#include <algorithm>

namespace DRAV {
namespace detail {
namespace {

// The length of the whole, valid UTF-8 character at `at`; 0 when there is
// none, and for the C1 controls (U+0080-U+009F: a terminal reads U+009B as
// ESC [), which are escaped byte by byte like the C0 ones.
std::size_t utf8Width(const std::string& text, std::size_t at) {
  const auto lead = static_cast<unsigned char>(text[at]);
  const std::size_t width = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 0;
  if (width == 0 || text.size() - at < width) return 0;
  if (lead == 0xC2 && static_cast<unsigned char>(text[at + 1]) < 0xA0) return 0;
  const auto first = text.begin() + static_cast<std::ptrdiff_t>(at);
  return utf8::is_valid(first, first + static_cast<std::ptrdiff_t>(width)) ? width : 0;
}

}  // namespace

std::string escapeLogField(const std::string& text, std::size_t limit, NonAscii nonAscii) {
  static const char kHex[] = "0123456789ABCDEF";
  static const char kCut[] = "\\...";
  limit = std::max(limit, sizeof kCut - 1);
  const std::size_t room = limit - (sizeof kCut - 1);
  std::string out;
  out.reserve(std::min(text.size(), limit) + 4);
  std::size_t kept = 0;  // where the field ends if it must be cut: after a whole character
  for (std::size_t i = 0; i < text.size();) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if (out.size() <= room) kept = out.size();
    // Bytes above 0x7E stay only where kept and part of a whole UTF-8 character.
    const std::size_t width = byte < 0x80 || nonAscii == NonAscii::Escaped ? 0 : utf8Width(text, i);
    if (width > 0) {
      out.append(text, i, width);
      i += width;
    } else {
      if (byte == '"' || byte == '\\') {
        out += '\\';
        out += static_cast<char>(byte);
      } else if (byte < 0x20 || byte > 0x7E) {
        out += "\\x";
        out += kHex[byte >> 4];
        out += kHex[byte & 0xF];
      } else {
        out += static_cast<char>(byte);
      }
      ++i;
    }
    if (out.size() > limit) {
      out.resize(kept);
      return out + kCut;
    }
  }
  return out;
}

}  // namespace detail
}  // namespace DRAV
