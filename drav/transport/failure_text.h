// A transport failure in one line for the person who caused it: the host,
// its port and the reason in plain words ("127.0.0.1:8080: connection
// refused", "[::1]:8443: TLS: certificate name mismatch ..."). Internal: the
// request, the download and the sign-on use it for their traces, their
// exceptions and DRAVHttpRequest::failureText(). The host is escaped and
// capped: a download URL, and so its host, may come from a server.
#pragma once

#include <drav/config/url.h>
#include <drav/platform/win32.h>

#include <string>

namespace DRAV {
namespace detail {

// The reason for a WinINet error code (or an HTTP status the transport
// gave up on). `timeoutMs` is the time-out in force, named by a time-out.
std::string failureReason(unsigned long code, unsigned long timeoutMs);

// "<host>:<port>: <reason>", the host in brackets when it is an IPv6
// address. The time-out is asked of `handle` (may be null or closed: the
// transport's default is named then).
std::string failureLine(const Url& url, unsigned long code, HINTERNET handle);

}  // namespace detail
}  // namespace DRAV
