// Small helpers for calling WinINet from the transport with narrow (UTF-8)
// text, and the settings every session of the transport shares. Internal:
// not part of the public API.
#pragma once

#include <drav/config/auth_info.h>
#include <drav/config/url.h>
#include <drav/platform/annal.h>
#include <drav/platform/win32.h>

#include <cstdint>
#include <string>

// The CA options of the WinINet layer of non-Windows hosts; Windows'
// WinINet refuses them (see trustAuthorities).
#ifndef INTERNET_OPTION_DRAV_CA_FILE
#define INTERNET_OPTION_DRAV_CA_FILE 0x44520001
#define INTERNET_OPTION_DRAV_CA_FOLDER 0x44520002
#endif
// The TLS defect of a failed send, named by the WinINet layer of non-Windows hosts.
#ifndef INTERNET_OPTION_DRAV_TLS_FAULT
#define INTERNET_OPTION_DRAV_TLS_FAULT 0x44520003
#endif

namespace DRAV {
namespace detail {

// A UTF-8 text as the NUL-terminated wide string WinINet takes.
class WideText {
public:
  explicit WideText(const std::string& text);
  const WCHAR* c_str() const { return reinterpret_cast<const WCHAR*>(units_.c_str()); }
  DWORD length() const { return static_cast<DWORD>(units_.size()); }

private:
  std::basic_string<unsigned short> units_;
};

// Five minutes: the connect, send and receive time-out of every transport handle.
constexpr DWORD kTransportTimeoutMs = 300000;
// No cache, kept connection, and no redirect followed: a redirect is the
// answer the caller reads, never a call or a download (with its body and
// credentials) taken to another place.
constexpr DWORD kRequestFlags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_KEEP_CONNECTION |
                                INTERNET_FLAG_NO_AUTO_REDIRECT;
// The security flags of an https request whose TLS policy turns
// verification off (a test setup): every certificate check is skipped.
constexpr DWORD kUnverifiedSecurityFlags = SECURITY_FLAG_IGNORE_REVOCATION | SECURITY_FLAG_IGNORE_UNKNOWN_CA |
                                      SECURITY_FLAG_IGNORE_CERT_CN_INVALID | SECURITY_FLAG_IGNORE_CERT_DATE_INVALID |
                                      SECURITY_FLAG_IGNORE_REDIRECT_TO_HTTPS | SECURITY_FLAG_IGNORE_REDIRECT_TO_HTTP;

BOOL setTextOption(HINTERNET handle, DWORD option, const std::string& text);
BOOL setNumberOption(HINTERNET handle, DWORD option, DWORD value);
// The process-wide HTTP version 1.1.
void useHttp11();
// Sets the three transport time-outs on a handle.
void setTransportTimeouts(HINTERNET handle);
// The TLS policy of a proxy's credentials over the "-DRAVssl_..." options.
TlsPolicy tlsPolicyOf(const AuthInfo& auth);
// Opens a request for `url` with the transport's flags (secure for https)
// and, for https, the certificate checks of `tls`. Null when it cannot be
// opened.
HINTERNET openRequest(HINTERNET connection, const char* verb, const Url& url, const TlsPolicy& tls);
// Connects to the URL's host and port.
HINTERNET connectTo(HINTERNET session, const Url& url);
// Reads the next piece (at most `size` bytes, and at most 16 MiB: what a
// read allocates stays within what any process can) of the answer on `handle`, as
// DRAVHttpRequest::receive does: its length, handed out in `buffer`; 0 at
// the end, which closes the handle and sets `ended`, or after a failed read,
// which leaves the handle open for the caller to close (GetLastError then
// holds the read's code). A failure to close is traced at `closeLevel`.
unsigned long readPiece(HINTERNET handle, char*& buffer, std::uint32_t size, bool& ended,
                        const Annal::Importance& closeLevel);

}  // namespace detail
}  // namespace DRAV
