// Base64::Codec: the standard alphabet of RFC 4648 with "=" padding and no
// line breaks, used for HTTP Basic credentials. Decoding is lenient and
// never fails; it is no validator and no streaming or URL-safe codec.
#pragma once

#include <drav/export.h>

#include <array>
#include <cstdint>
#include <string>

namespace Base64 {

class DRAV_EXPORT Codec {
public:
  // Character i stands for the 6-bit value i.
  static constexpr char Base64Table[65] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  // For each byte: its value in the alphabet, or 0xFFFFFFFF outside it.
  // Constant-initialised, so usable during static initialisation.
  static const std::array<std::uint32_t, 256> DecodeTable;
  static constexpr char fillchar = '=';

  // Padded Base64 text of the bytes of in.
  std::string encode(const std::string& in) const;
  // Four characters give three bytes; a missing second character and any
  // byte outside the alphabet count as all bits set (so "A" gives 0x03).
  // Decoding ends at the first "=" in the third or fourth place of a group;
  // an "=" in the first two places is outside the alphabet. Whitespace is
  // not skipped.
  std::string decode(const std::string& in) const;
};

}  // namespace Base64
