// Encoding one whole buffer as one zlib stream, with the best library the
// build found for the effort asked: thorough (libdeflate's level 5, else
// zlib's compress2 at its default level) for the stored forms of
// DRAVCompressedData's classic constructors, fast (ISA-L's level 1, else
// libdeflate's level 1, else zlib's level 1) for values sent when
// compressing them pays. Not a public API. Every encoder writes streams
// that zlib's uncompress reads; the bytes differ between them.
#pragma once

#include <cstddef>
#include <cstdint>

namespace DRAVCompression::detail {

enum class Effort { Thorough, Fast };

// One encoder's state for one payload or several in turn; not shared between
// threads. Construction throws std::bad_alloc when the state cannot be had.
class Deflater {
public:
  explicit Deflater(Effort effort = Effort::Thorough);
  Deflater(const Deflater&) = delete;
  Deflater& operator=(const Deflater&) = delete;
  ~Deflater();

  // Room that always holds the stream of `plainLength` bytes, whichever
  // encoder runs.
  std::uint64_t bound(std::uint32_t plainLength) const;
  // Encodes `in` into `out` (room for `room` bytes): Z_OK with the stream's
  // length in `produced`, or the zlib code of the failure (Z_BUF_ERROR when
  // the stream does not fit).
  int deflate(unsigned char* out, std::size_t room, std::size_t& produced, const unsigned char* in,
              std::uint32_t inLength);

private:
  struct State;
  Effort effort_;
  State* state_;  // owned; null when zlib encodes
};

}  // namespace DRAVCompression::detail
