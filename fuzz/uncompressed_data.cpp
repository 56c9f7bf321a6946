// Arbitrary bytes as a stored payload: the plain side either restores it or
// refuses it with the library's exceptions; anything else is a fault.
#include <drav/common/exception.h>
#include <drav/compression/compression.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

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
  return 0;
}
