// The optional SSL error hook: a library "dravSsl" loaded by name at run
// time whose export "handleSslError" is told about certificate failures of
// a send (request handle, WinINet error code). Internal to the transport.
#pragma once

#include <cstdint>

namespace DRAV {
namespace detail {

// Loads the hook library, calls its export with the handle and the code,
// unloads it. Nothing happens when the library or the export is missing.
void callSslErrorHook(void* requestHandle, unsigned long errorCode);

// The export's type: (request handle, 32-bit error code) -> a byte that
// is ignored.
typedef unsigned char (*SslErrorHandler)(void* requestHandle, std::uint32_t errorCode);

}  // namespace detail
}  // namespace DRAV
