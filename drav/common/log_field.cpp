#include <drav/common/log_field.h>

#include <algorithm>

namespace DRAV {
namespace detail {

std::string escapeLogField(const std::string& text, std::size_t limit, NonAscii nonAscii) {
  static const char kHex[] = "0123456789ABCDEF";
  static const char kCut[] = "\\...";
  limit = std::max(limit, sizeof kCut - 1);
  const std::size_t room = limit - (sizeof kCut - 1);
  std::string out;
  out.reserve(std::min(text.size(), limit) + 4);
  const bool keepNonAscii = nonAscii == NonAscii::Kept;
  std::size_t kept = 0;  // where the field ends if it must be cut: after a whole character
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    const bool startsCharacter = !keepNonAscii || (byte & 0xC0) != 0x80;
    if (startsCharacter && out.size() <= room) kept = out.size();
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (byte < 0x20 || byte == 0x7F || (byte > 0x7F && !keepNonAscii)) {
      out += "\\x";
      out += kHex[byte >> 4];
      out += kHex[byte & 0xF];
    } else {
      out += c;
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
