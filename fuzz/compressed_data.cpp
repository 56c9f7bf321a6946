// Arbitrary bytes compressed as a payload (the threshold lowered so that
// every input is) must read back as themselves through the library's plain
// side, through zlib's own uncompress and through whichever decoder the build
// uses: the encoder may write any valid zlib stream, never one a peer's zlib
// refuses or reads differently.
#include <drav/compression/compression.h>
#include <drav/compression/inflate.h>

#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace DRAVCompression;
  DRAVCompressedData::setCompressionThreshold(1);
  unsigned char* plain = const_cast<unsigned char*>(data);
  unsigned long length = static_cast<unsigned long>(size);
  if (size == 0) return 0;  // below any threshold: stored as it is
  DRAVCompressedData stored(plain, length, false);

  const std::string header = "[DRAV_Z=" + std::to_string(size) + "]";
  if (stored.getLength() < header.size() || std::memcmp(stored.getData(), header.data(), header.size()) != 0)
    __builtin_trap();
  const unsigned char* stream = stored.getData() + header.size();
  const std::size_t streamLength = stored.getLength() - header.size();

  std::vector<unsigned char> byZlib(size + 1), byBuild(size);
  uLongf zlibSize = static_cast<uLongf>(byZlib.size());
  if (uncompress(byZlib.data(), &zlibSize, stream, static_cast<uLong>(streamLength)) != Z_OK || zlibSize != size ||
      std::memcmp(byZlib.data(), data, size) != 0)
    __builtin_trap();
  if (detail::inflateExactly(byBuild.data(), static_cast<std::uint32_t>(size), stream, streamLength) != Z_OK ||
      std::memcmp(byBuild.data(), data, size) != 0)
    __builtin_trap();
  DRAVUncompressedData restored(stored, true);
  if (restored.getLength() != size || std::memcmp(restored.getData(), data, size) != 0) __builtin_trap();
  return 0;
}
