#include "support/bytes.h"

#include <algorithm>
#include <cctype>
#include <stdexcept>

namespace dravtest {

Bytes hex(const std::string& text) {
  Bytes out;
  int pending = -1;
  for (char c : text) {
    if (std::isspace(static_cast<unsigned char>(c))) continue;
    if (!std::isxdigit(static_cast<unsigned char>(c))) throw std::invalid_argument("bad hex: " + text);
    int nibble = std::isdigit(static_cast<unsigned char>(c)) ? c - '0' : (std::tolower(c) - 'a' + 10);
    if (pending < 0) {
      pending = nibble;
    } else {
      out.push_back(static_cast<unsigned char>(pending * 16 + nibble));
      pending = -1;
    }
  }
  if (pending >= 0) throw std::invalid_argument("odd hex: " + text);
  return out;
}

std::string toHex(const unsigned char* data, std::size_t length) {
  static const char digits[] = "0123456789ABCDEF";
  std::string out;
  for (std::size_t i = 0; i < length; ++i) {
    if (i) out += ' ';
    out += digits[data[i] >> 4];
    out += digits[data[i] & 15];
  }
  return out;
}

Bytes appendedWithRoom(unsigned long room, const std::function<void(DRAVDataOutputStream&)>& write) {
  DRAVDataOutputStream out;
  const std::string filler(out.growthHint() - out.size() - room, 'f');  // growthHint: the capacity
  out.write(filler.data(), static_cast<unsigned long>(filler.size()));
  const unsigned long before = out.size();
  write(out);
  return Bytes(out.getBuffer(before), out.getBuffer(0) + out.size());
}

Bytes payload(const DRAVDataOutputStream& out) {
  return Bytes(out.getBuffer(0) + 1, out.getBuffer(0) + out.size());
}

Bytes withMarker(const Bytes& values) {
  // Sized up front: gcc 12 for Windows warns (-Warray-bounds, a false
  // positive) on an insert after a one-element initialiser.
  Bytes out(values.size() + 1);
  out[0] = DRAV::hostByteOrderMarker();
  std::copy(values.begin(), values.end(), out.begin() + 1);
  return out;
}

}  // namespace dravtest
