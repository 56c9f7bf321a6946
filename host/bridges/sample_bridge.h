// The sample bridge: a method table (drav/host/typed_bridge.h) of a few
// demonstration methods. The table reads the posted arguments in chunks
// through the IIS wrappers, runs the method and writes the results and then
// the invocation status, so it runs under this host as it would under a web
// server. Its methods take their values as a list and check them
// themselves, so that they accept what they always accepted.
//
//   echo (any values)               the same values; binary values at or above
//                                   the compression threshold go back compressed
//                                   when the process's choice says so (by
//                                   default when a sample shows it pays)
//   sum (numbers)                   Double: their sum
//   generateBinary (size [, seed])  BinaryArray of `size` bytes, byte i being
//                                   patternByte(i, seed); streamed (value head,
//                                   then chunks) when the call's streaming mode
//                                   is OUT or INOUT
//   checksumExtraBlob ()            ULong length, ULong CRC-32 of the extra
//                                   blob, read chunk by chunk
//
// A method it does not offer, or arguments the method cannot use, give no
// results and a non-zero status code; a body that cannot be read or decoded
// gives HTTP 400. A call streaming out always gets the streamed form: an
// empty value and a non-zero code when the method has no value to stream.
#pragma once

#include <drav/host/typed_bridge.h>

#include <cstdint>
#include <string>
#include <vector>

namespace DRAVHost {

struct SampleBridgeLimits {
  std::uint32_t maxArgsSize = 128 * 1024 * 1024;     // argument bytes a call may bring
  std::uint32_t maxListedBinary = 64 * 1024 * 1024;  // a generated value sent inside the result list
  std::uint32_t chunkSize = 256 * 1024;              // each read and write of a body piece
};

class SampleBridge : public TypedBridge {
public:
  enum StatusCode { Ok = 0, UnknownMethod = 1, BadArguments = 2, TooLarge = 3 };

  using Limits = SampleBridgeLimits;

  // Thread-safe: the bridge keeps no state between calls.
  explicit SampleBridge(Limits limits = Limits());

  // The byte at `index` of a value generateBinary makes with `seed`.
  static unsigned char patternByte(std::uint64_t index, std::uint32_t seed) {
    return static_cast<unsigned char>((index + seed) % kPatternPeriod);
  }
private:
  // A prime, so that the pattern lines up with no power-of-two chunk size.
  static constexpr std::uint32_t kPatternPeriod = 251;

  DRAVArgs generate(const DRAVArgs& args, DRAVStreamWriter& out) const;

  Limits limits_;
  // The pattern repeated over a chunk and one period more: any chunk of a
  // generated value is a slice of it.
  std::vector<unsigned char> pattern_;
};

}  // namespace DRAVHost
