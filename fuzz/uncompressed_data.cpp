// Arbitrary bytes as a stored payload: the plain side either restores it or
// refuses it with the library's exceptions; anything else is a fault. The
// same bytes, read as a 2-byte plain length and a zlib stream, must decode
// as zlib alone decodes them (same bytes, same refusal).
#include <drav/common/exception.h>
#include <drav/compression/compression.h>
#include <drav/compression/inflate.h>

#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace {

void decodesLikeZlib(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return;
  const std::uint32_t plainLength = (std::uint32_t(data[0]) << 8) | data[1];
  std::vector<unsigned char> ours(plainLength), zlibs(plainLength);
  int code = DRAVCompression::detail::inflateExactly(ours.data(), plainLength, data + 2, size - 2);
  int expected = DRAVCompression::detail::zlibInflateExactly(zlibs.data(), plainLength, data + 2, size - 2);
  // libdeflate also decodes the two reserved length codes (286, 287) of
  // fixed-code blocks, which zlib refuses and no compressor writes; so a
  // stream zlib refuses may decode here. What zlib accepts must decode to the
  // same bytes, and every refusal must be zlib's own.
  if (expected == Z_OK && (code != Z_OK || ours != zlibs)) __builtin_trap();
  if (code != Z_OK && code != expected) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using DRAVCompression::DRAVUncompressedData;
  const bool compressed = DRAVUncompressedData::isDataCompressed(data, size);
  for (bool copy : {false, true}) {
    try {
      DRAVUncompressedData plain(data, size, copy);
      // Touch every byte so a wrong length shows up under the sanitizer.
      unsigned sum = 0;
      for (unsigned long i = 0; i < plain.getLength(); ++i) sum += plain.getData()[i];
      if (!compressed && (plain.getLength() != size || (size && std::memcmp(plain.getData(), data, size) != 0)))
        __builtin_trap();  // plain bytes must pass through unchanged
      (void)sum;
    } catch (const DRAVCompression::DRAVCompressionException&) {
      if (!compressed) __builtin_trap();  // only a header can make it fail
    } catch (const DRAVException&) {
    }
  }
  decodesLikeZlib(data, size);
  return 0;
}
