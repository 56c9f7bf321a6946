#include "pattern_files.h"

#include "host/bridges/sample_bridge.h"

#include <zlib.h>

#include <algorithm>
#include <fstream>
#include <vector>

namespace e2e {

namespace {
constexpr std::size_t kBlock = 1024 * 1024;
}

unsigned long writePatternFile(const std::string& path, std::uint64_t size) {
  std::ofstream file(path, std::ios::binary);
  std::vector<unsigned char> block(kBlock);
  uLong crc = crc32(0, Z_NULL, 0);
  for (std::uint64_t at = 0; at < size; at += kBlock) {
    const std::size_t piece = static_cast<std::size_t>(std::min<std::uint64_t>(kBlock, size - at));
    for (std::size_t i = 0; i < piece; ++i) block[i] = static_cast<unsigned char>(((at + i) * 2654435761u) >> 24);
    file.write(reinterpret_cast<const char*>(block.data()), static_cast<std::streamsize>(piece));
    crc = crc32(crc, block.data(), static_cast<uInt>(piece));
  }
  file.close();
  return file.good() ? crc : 0;
}

std::uint64_t patternBytesMatching(const std::string& path, std::uint32_t seed) {
  std::ifstream file(path, std::ios::binary);
  std::vector<char> block(kBlock);
  std::uint64_t at = 0;
  while (file.read(block.data(), kBlock) || file.gcount() > 0) {
    const std::size_t got = static_cast<std::size_t>(file.gcount());
    for (std::size_t i = 0; i < got; ++i, ++at)
      if (static_cast<unsigned char>(block[i]) != DRAVHost::SampleBridge::patternByte(at, seed)) return at;
  }
  return at;
}

}  // namespace e2e
