// Encoding one whole buffer as one zlib stream: with libdeflate where the
// build found it, else with zlib's compress2. Not a public API: the stored
// side of payload compression calls it. Both encoders write streams that
// zlib's uncompress reads; the bytes differ between them.
#pragma once

#include <cstddef>
#include <cstdint>

namespace DRAVCompression::detail {

// One encoder's state for one payload or several in turn; not shared between
// threads. Construction throws std::bad_alloc when the state cannot be had.
class Deflater {
public:
  Deflater();
  Deflater(const Deflater&) = delete;
  Deflater& operator=(const Deflater&) = delete;
  ~Deflater();

  // Room that always holds the stream of `plainLength` bytes.
  std::uint64_t bound(std::uint32_t plainLength) const;
  // Encodes `in` into `out` (room for `room` bytes): Z_OK with the stream's
  // length in `produced`, or the zlib code of the failure (Z_BUF_ERROR when
  // the stream does not fit).
  int deflate(unsigned char* out, std::size_t room, std::size_t& produced, const unsigned char* in,
              std::uint32_t inLength);

private:
  struct State;
  State* state_;  // owned; null when zlib encodes
};

}  // namespace DRAVCompression::detail
