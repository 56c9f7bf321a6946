// A transport failure in one line for the person who caused it: the host,
// its port and the reason in plain words ("127.0.0.1:8080: connection
// refused", "[::1]:8443: TLS: certificate name mismatch ..."). Internal: the
// request, the download and the sign-on use it for their traces, their
// exceptions and DRAVHttpRequest::failureText(). The host is escaped and
// capped: a download URL, and so its host, may come from a server.
#pragma once

#include <drav/config/tls_policy.h>
#include <drav/config/url.h>
#include <drav/platform/win32.h>

#include <string>

namespace DRAV {
namespace detail {

// The reason for a WinINet error code (or an HTTP status the transport
// gave up on). `timeoutMs` is the time-out in force, named by a time-out.
std::string failureReason(unsigned long code, unsigned long timeoutMs);

// "<host>:<port>", the host escaped, in brackets when it is an IPv6 address.
std::string endpointText(const Url& url);

// "<host>:<port>: <reason>", the host as endpointText writes it. The
// time-out, and the TLS defect where the WinINet layer names one, are asked
// of `handle` (may be null or closed: the transport's default is named
// then). `tls`, when given, is the policy in force: an authority file or
// folder that could not be read is named.
std::string failureLine(const Url& url, unsigned long code, HINTERNET handle, const TlsPolicy* tls = nullptr);

// Refuses, before anything is sent, a URL whose scheme is neither http nor
// https (a mistyped "htp://" would otherwise go out as http): throws
// HttpPostDataException (ERROR_INTERNET_UNRECOGNIZED_SCHEME) naming it,
// the line ("<host>:<port>: ...") also in `failure` when given.
void refuseUnknownScheme(const Url& url, std::string* failure = nullptr);

}  // namespace detail
}  // namespace DRAV
