// Decoding one whole zlib stream into a buffer of the size its header
// announced: with libdeflate where the build found it, else with zlib. Not a
// public API: the plain side of payload compression calls it.
#pragma once

#include <cstddef>
#include <cstdint>

namespace DRAVCompression::detail {

// Decodes the stream at `in` into `out`, which has room for exactly
// `plainLength` bytes (out may be null when plainLength is 0). Answers Z_OK
// when the stream is sound and holds exactly plainLength bytes, else the zlib
// code that names the failure: Z_BUF_ERROR when it holds more, Z_DATA_ERROR
// when it holds fewer, or zlib's own code for a stream zlib refuses. Bytes
// after the end of the stream are not looked at. The content of `out` is
// undefined after a failure.
int inflateExactly(unsigned char* out, std::uint32_t plainLength, const unsigned char* in, std::size_t inLength);

// The same with zlib alone: what inflateExactly answers, whichever decoder
// the build uses.
int zlibInflateExactly(unsigned char* out, std::uint32_t plainLength, const unsigned char* in, std::size_t inLength);

}  // namespace DRAVCompression::detail
