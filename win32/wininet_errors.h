// How a failed libcurl transfer reads as a WinINet last-error code. Internal
// to the WinINet layer.
#pragma once

#include <win32/windef.h>

#include <curl/curl.h>

#include <string>

namespace drav_wininet {

// `easy` is asked for the socket error and the certificate check result;
// `errorText` is libcurl's error buffer for the transfer (may be empty);
// `certificateRequested` tells whether the server asked for a client
// certificate during the handshake.
DWORD errorFromCurl(CURLcode code, CURL* easy, const char* errorText, bool certificateRequested);

// What the TLS library found wrong with the connection, in plain words, for
// INTERNET_OPTION_DRAV_TLS_FAULT; empty when the code's own text says it.
// `verifyError` is the first X509_V_ERR_* the chain check met (0: none),
// `nulInName` whether a name of the server's certificate holds a NUL.
std::string tlsFault(CURLcode code, long verifyError, bool nulInName, const char* errorText);

// A request whose connection ended before any answer came, after it may
// have been sent: a reset, or a connection closed by the server.
DWORD errorOfLostRequest(CURL* easy);

}  // namespace drav_wininet
