// Every quantity that travels or is counted on the wire is 32 bits wide on
// every host, whatever the width of the host's long. Values that do not fit
// are refused, never truncated.
#pragma once

#include <drav/common/exception.h>

#include <cstdint>
#include <string>

namespace DRAV {
namespace detail {

inline std::uint32_t toWireULong(unsigned long value, const char* what) {
  if (static_cast<unsigned long long>(value) > 0xFFFFFFFFull)
    throw DRAVException(std::string(what) + " does not fit in 32 bits: " + std::to_string(value));
  return static_cast<std::uint32_t>(value);
}

inline std::int32_t toWireLong(long value, const char* what) {
  if (static_cast<long long>(value) > INT32_MAX || static_cast<long long>(value) < INT32_MIN)
    throw DRAVException(std::string(what) + " does not fit in 32 bits: " + std::to_string(value));
  return static_cast<std::int32_t>(value);
}

}  // namespace detail
}  // namespace DRAV
