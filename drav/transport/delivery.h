// What a failed send proves about its request, from the WinINet code alone
// (Windows' WinINet reports nothing else): whether it may be sent again
// without the caller's say. Internal to the transport.
//
// A call is sent again on its own only when it provably never reached the
// server. Once any byte of it may have gone out and no answer came, the
// bridge's method may have run: sending it again could run it twice.
#pragma once

#include <drav/platform/win32.h>

// Codes Windows' own headers may lack.
#ifndef ERROR_INTERNET_SEC_CERT_WEAK_SIGNATURE
#define ERROR_INTERNET_SEC_CERT_WEAK_SIGNATURE 12062L
#endif
#ifndef ERROR_INTERNET_SEC_INVALID_CERT
#define ERROR_INTERNET_SEC_INVALID_CERT 12169L
#endif

namespace DRAV {
namespace detail {

enum class Delivery {
  NotSent,     // no connection was made (refused, name not resolved): trying again is safe
  Refused,     // stopped before the request went out (TLS, URL, no handle): trying again cannot help
  Answered,    // the server answered and asks for the call again (credentials, redirect)
  MayHaveRun,  // some of the request may have reached the server, and no answer came
};

// For a code of a failed send, or an HTTP status the transport acts on
// (401, 407, 301: Answered). ERROR_INTERNET_FORCE_RETRY is Answered only
// when `answered` (an answer's status is there to prove it).
Delivery deliveryOf(unsigned long code, bool answered);

// Whether the code says the server's certificate did not verify.
bool isUntrustedCertificate(unsigned long code);

}  // namespace detail
}  // namespace DRAV
