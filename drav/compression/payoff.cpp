#include <drav/compression/payoff.h>

#include <drav/compression/deflate.h>

#include <zlib.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>

namespace DRAVCompression::detail {

namespace {

// The sample: about 1/128 of the value in pieces of 1 KiB spread over it,
// at least one piece and at most 16. Counting its bytes costs about 1/200
// of what sending the value plainly costs the client.
constexpr std::size_t kPiece = 1024;
constexpr std::size_t kSampleShare = 128;
constexpr std::size_t kMostPieces = 16;

// Bytes whose collision entropy (minus log2 of the chance that two bytes
// drawn at random are equal) reaches this many bits are taken as random: a
// flat distribution gives 8, text 4 to 5, program code 3 to 6; compressed
// and encrypted data give 7.9 and more, and then deflate cannot gain.
constexpr double kRandomBits = 7.5;

// A sample that compresses to no more than this share of itself shows the
// value worth compressing: a 1 Gbit/s link (125 MB/s) then carries it
// sooner compressed, encoded at 490 MB/s and decoded at 1000 MB/s
// (1 - 125/490 - 125/1000 = 0.62). Sampled pieces find fewer repeats than
// the whole value does, so a value passes with some room to spare.
constexpr double kPaysRatio = 0.62;

// The pieces of the sample copied one after the other into `sample`.
std::size_t takeSample(const unsigned char* data, std::size_t size, unsigned char* sample) {
  const std::size_t wanted = std::clamp(size / kSampleShare, kPiece, kPiece * kMostPieces);
  if (size <= wanted) {
    std::memcpy(sample, data, size);
    return size;
  }
  const std::size_t pieces = wanted / kPiece;
  const std::size_t slice = size / pieces;
  for (std::size_t i = 0; i < pieces; ++i)  // each from the middle of its slice
    std::memcpy(sample + i * kPiece, data + i * slice + (slice - kPiece) / 2, kPiece);
  return pieces * kPiece;
}

// Collision entropy of the bytes, in bits (8 for a flat distribution).
double collisionBits(const unsigned char* bytes, std::size_t size) {
  if (size < 2) return 0;
  // Four tables, so that runs of one byte do not wait on their own counts.
  std::uint32_t counts[4][256] = {};
  std::size_t i = 0;
  for (; i + 4 <= size; i += 4) {
    ++counts[0][bytes[i]];
    ++counts[1][bytes[i + 1]];
    ++counts[2][bytes[i + 2]];
    ++counts[3][bytes[i + 3]];
  }
  for (; i < size; ++i) ++counts[0][bytes[i]];
  std::uint64_t pairs = 0;  // ordered pairs of equal bytes at distinct places
  for (int b = 0; b < 256; ++b) {
    const std::uint64_t c = std::uint64_t(counts[0][b]) + counts[1][b] + counts[2][b] + counts[3][b];
    if (c) pairs += c * (c - 1);
  }
  if (pairs == 0) return 8.0;  // a few bytes, all different: as flat as they can be
  return -std::log2(static_cast<double>(pairs) / (static_cast<double>(size) * static_cast<double>(size - 1)));
}

bool sampleShrinks(const unsigned char* sample, std::size_t size) {
  Deflater deflater(Effort::Fast);
  const std::size_t room = static_cast<std::size_t>(deflater.bound(static_cast<std::uint32_t>(size)));
  std::unique_ptr<unsigned char[]> out(new unsigned char[room]);
  std::size_t produced = 0;
  if (deflater.deflate(out.get(), room, produced, sample, static_cast<std::uint32_t>(size)) != Z_OK) return false;
  return static_cast<double>(produced) <= kPaysRatio * static_cast<double>(size);
}

}  // namespace

bool compressionPays(const unsigned char* data, std::size_t size) {
  if (!data || size == 0) return false;
  unsigned char sample[kPiece * kMostPieces];
  const std::size_t sampled = takeSample(data, size, sample);
  if (collisionBits(sample, sampled) >= kRandomBits) return false;
  return sampleShrinks(sample, sampled);
}

}  // namespace DRAVCompression::detail
