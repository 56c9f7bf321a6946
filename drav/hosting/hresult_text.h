// HRESULTs in trace lines, written as Windows tools show them ("0x8002000B").
// Internal to the library.
#pragma once

#include <drav/platform/win32.h>

#include <cstdint>
#include <cstdio>
#include <string>

namespace DRAV {
namespace detail {

inline std::string hresultText(HRESULT hr) {
  char text[11];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(static_cast<std::uint32_t>(hr)));
  return text;
}

}  // namespace detail
}  // namespace DRAV
