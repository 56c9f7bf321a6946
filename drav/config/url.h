// Url: the small URL value the bridge proxy is built from: scheme, host,
// port and a normalised path. It splits text at its first "://", ":" and
// "/" (after a bracketed IPv6 host) and nothing more: no query or fragment
// handling, no user info, no percent-decoding, no validation. Parsing never
// fails: malformed text gives whatever fields the splitting rules produce
// (an unreadable port is 0).
#pragma once

#include <drav/export.h>

#include <cstdint>
#include <string>

class DRAV_EXPORT Url {
public:
  Url();                         // "http", empty host, port 80, empty path
  Url(const std::string& text);  // parses text (see operator=)

  // Parses text: "[scheme://]host[:port][/path]". Without "://" right after
  // the first ":" the scheme is "http". The scheme is kept in lower case
  // ("HTTPS://h" is "https://h"). Without a port the port is 443 for https,
  // else 80. A host in brackets is an IPv6
  // literal ("http://[::1]:8080/x"): host() is "::1", without the brackets.
  Url& operator=(const std::string& text);
  Url& host(const std::string& host);      // stored as given (an IPv6 address without brackets)
  Url& scheme(const std::string& scheme);  // stored in lower case
  // Refuses a value that does not fit 32 bits with DRAVException.
  Url& port(unsigned long port);
  // Signed decimal as atol reads it; saturates outside the 32-bit range; no
  // digits gives 0. A negative number is kept as its 32-bit two's complement.
  Url& port(const std::string& port);
  // Normalises: drops empty segments and leading/trailing "/", resolves
  // ".." (ignored at the root), keeps ".". "/a//b/../c/" gives "a/c".
  Url& uri(const std::string& path);

  const std::string& host() const { return host_; }  // valid until the next change
  const std::string& uri() const { return uri_; }
  const std::string& scheme() const { return scheme_; }
  unsigned long port() const { return port_; }

  bool useSsl() const { return scheme_ == "https"; }
  // scheme "://" host ":" port "/" path; the port is always written, as a
  // signed 32-bit number, so that the text parses back to the same port. A
  // host holding ":" (IPv6) or beginning with "[" is written in brackets.
  std::string toString() const;

private:
  void parse(const std::string& text);

  std::string host_;
  std::uint32_t port_ = 80;
  std::string uri_;
  std::string scheme_ = "http";
};
