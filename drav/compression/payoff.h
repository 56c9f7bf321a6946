// Whether compressing a value before it is sent pays: judged from a sample
// of it, at a small fraction of the cost of sending it. Not a public API:
// DRAVCompressedData::isValueToCompress asks it.
#pragma once

#include <cstddef>

namespace DRAVCompression::detail {

// Samples pieces spread over the value (about 1/128 of it, from 1 to 16 KiB).
// Bytes that look uniformly random (compressed, encrypted, random: a byte
// distribution near the flat one) are judged at once to gain nothing;
// others when the sample, compressed by the encoder values are sent with,
// shrinks below the ratio at which a 1 Gbit/s link carries the value sooner
// compressed than plain.
bool compressionPays(const unsigned char* data, std::size_t size);

}  // namespace DRAVCompression::detail
