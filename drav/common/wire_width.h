// Every quantity that travels or is counted on the wire is 32 bits wide on
// every host, whatever the width of the host's long. Values that do not fit
// are refused, never truncated.
#pragma once

#include <drav/common/exception.h>

#include <cstdint>
#include <string>

namespace DRAV {
namespace detail {

// Range checks take the widest type so that they compile without "always
// false" warnings where long is itself 32 bits (Windows).
constexpr bool exceedsUInt32(unsigned long long value) { return value > 0xFFFFFFFFull; }
constexpr bool outsideInt32(long long value) { return value > INT32_MAX || value < INT32_MIN; }

inline std::uint32_t toWireULong(unsigned long value, const char* what) {
  if (exceedsUInt32(value))
    throw DRAVException(std::string(what) + " does not fit in 32 bits: " + std::to_string(value));
  return static_cast<std::uint32_t>(value);
}

inline std::int32_t toWireLong(long value, const char* what) {
  if (outsideInt32(value))
    throw DRAVException(std::string(what) + " does not fit in 32 bits: " + std::to_string(value));
  return static_cast<std::int32_t>(value);
}

}  // namespace detail
}  // namespace DRAV
