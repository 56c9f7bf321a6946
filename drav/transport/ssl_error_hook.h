// The optional SSL error hook: a library "dravSsl" loaded by name at run
// time whose export "handleSslError" is told about certificate failures of
// a send (request handle, WinINet error code). Internal to the transport.
#pragma once

#include <cstdint>

namespace DRAV {
namespace detail {

// Loads the hook library, calls its export with the handle and the code,
// unloads it. True when the hook accepted the certificate (its result is
// not 0: it may have changed the request so that a second send goes
// through); false also when the library or the export is missing.
bool callSslErrorHook(void* requestHandle, unsigned long errorCode);

// The export's type: (request handle, 32-bit error code) -> non-zero when
// the hook accepts the certificate.
typedef unsigned char (*SslErrorHandler)(void* requestHandle, std::uint32_t errorCode);

}  // namespace detail
}  // namespace DRAV
