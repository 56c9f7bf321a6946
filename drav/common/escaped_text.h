// Text a peer chose, made safe to show in a message, an exception or on a
// terminal: control characters and DEL become "\xHH", a quote or backslash
// gets a backslash in front; every other byte, UTF-8 included, stays as it
// is. Text longer than `most` bytes is cut after a whole character and
// ends in "...".
#pragma once

#include <cstddef>
#include <string>

namespace DRAV {

inline std::string escapedText(const std::string& text, std::size_t most = std::string::npos) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    const bool startsCharacter = (byte & 0xC0) != 0x80;
    if (startsCharacter && out.size() >= most) return out + "...";
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (byte < 0x20 || byte == 0x7F) {
      out += "\\x";
      out += kHex[byte >> 4];
      out += kHex[byte & 0xF];
    } else {
      out += c;
    }
  }
  return out;
}

}  // namespace DRAV
