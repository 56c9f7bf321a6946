// Large files for the transfer tests, written and checked a block at a time
// so that the test itself holds no more than a block of them.
#pragma once

#include <cstdint>
#include <string>

namespace e2e {

// Writes `size` bytes of a fixed pattern to `path`; their CRC-32, or 0 when
// the file could not be written whole.
unsigned long writePatternFile(const std::string& path, std::uint64_t size);

// How many bytes at the start of `path` are the sample bridge's
// generateBinary pattern for `seed`: the file's size when all of them are.
std::uint64_t patternBytesMatching(const std::string& path, std::uint32_t seed);

}  // namespace e2e
