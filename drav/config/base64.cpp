#include <drav/config/base64.h>

namespace Base64 {
namespace {

constexpr std::array<std::uint32_t, 256> makeDecodeTable() {
  std::array<std::uint32_t, 256> table{};
  for (auto& entry : table) entry = 0xFFFFFFFFu;
  for (std::uint32_t i = 0; i < 64; ++i) table[static_cast<unsigned char>(Codec::Base64Table[i])] = i;
  return table;
}

}  // namespace

const std::array<std::uint32_t, 256> Codec::DecodeTable = makeDecodeTable();

std::string Codec::encode(const std::string& in) const {
  std::string out;
  out.reserve((in.size() + 2) / 3 * 4);
  const auto* bytes = reinterpret_cast<const unsigned char*>(in.data());
  const std::size_t size = in.size();
  std::size_t i = 0;
  for (; i + 3 <= size; i += 3) {
    const std::uint32_t group = (bytes[i] << 16) | (bytes[i + 1] << 8) | bytes[i + 2];
    out += Base64Table[group >> 18];
    out += Base64Table[(group >> 12) & 0x3F];
    out += Base64Table[(group >> 6) & 0x3F];
    out += Base64Table[group & 0x3F];
  }
  if (i < size) {
    const bool two = i + 1 < size;
    const std::uint32_t group = (bytes[i] << 16) | (two ? bytes[i + 1] << 8 : 0);
    out += Base64Table[group >> 18];
    out += Base64Table[(group >> 12) & 0x3F];
    out += two ? Base64Table[(group >> 6) & 0x3F] : fillchar;
    out += fillchar;
  }
  return out;
}

std::string Codec::decode(const std::string& in) const {
  // A value is the low 8 bits of the table entry: 0..63, or 0xFF (-1) for
  // bytes outside the alphabet. Unsigned arithmetic gives the same bits the
  // signed -1 would, without shifting a negative number.
  const auto value = [&in](std::size_t i) -> std::uint32_t {
    return i < in.size() ? DecodeTable[static_cast<unsigned char>(in[i])] & 0xFFu : 0xFFu;
  };
  std::string out;
  out.reserve(in.size());
  for (std::size_t i = 0; i < in.size(); i += 4) {
    const std::uint32_t first = value(i), second = value(i + 1);
    out += static_cast<char>(((first << 2) | ((second >> 4) & 0x03)) & 0xFF);
    if (i + 2 >= in.size()) break;
    if (in[i + 2] == fillchar) break;
    const std::uint32_t third = value(i + 2);
    out += static_cast<char>(((second << 4) & 0xF0) | ((third >> 2) & 0x0F));
    if (i + 3 >= in.size()) break;
    if (in[i + 3] == fillchar) break;
    out += static_cast<char>(((third << 6) & 0xC0) | value(i + 3));
  }
  return out;
}

}  // namespace Base64
