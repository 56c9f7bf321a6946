#include <drav/config/url.h>

#include <drav/common/wire_width.h>
#include <drav/config/decimal_text.h>

#include <win32/ascii_case.h>

#include <algorithm>

namespace {

const std::uint32_t kHttpPort = 80;
const std::uint32_t kHttpsPort = 443;

// Schemes are case-insensitive (RFC 3986, 3.1); the lower-case form is the
// one kept, so "HTTPS" asks for TLS as "https" does.
std::string lowerCase(std::string scheme) {
  for (char& c : scheme) c = drav_wininet::asciiLower(c);
  return scheme;
}

}  // namespace

Url::Url() = default;

Url::Url(const std::string& text) { parse(text); }

Url& Url::operator=(const std::string& text) {
  parse(text);
  return *this;
}

Url& Url::host(const std::string& host) {
  host_ = host;
  return *this;
}

Url& Url::scheme(const std::string& scheme) {
  scheme_ = lowerCase(scheme);
  return *this;
}

Url& Url::port(unsigned long port) {
  port_ = DRAV::detail::toWireULong(port, "URL port");
  return *this;
}

Url& Url::port(const std::string& port) {
  port_ = static_cast<std::uint32_t>(DRAV::detail::readSignedDecimal32(port));
  return *this;
}

Url& Url::uri(const std::string& path) {
  std::string normalised;
  normalised.reserve(path.size());
  std::size_t begin = 0;
  while (begin <= path.size()) {
    std::size_t end = path.find('/', begin);
    if (end == std::string::npos) end = path.size();
    const std::size_t length = end - begin;
    if (length == 2 && path[begin] == '.' && path[begin + 1] == '.') {
      const std::size_t lastSlash = normalised.rfind('/');
      normalised.erase(lastSlash == std::string::npos ? 0 : lastSlash);
    } else if (length > 0) {
      if (!normalised.empty()) normalised += '/';
      normalised.append(path, begin, length);
    }
    begin = end + 1;
  }
  uri_ = std::move(normalised);
  return *this;
}

std::string Url::toString() const {
  // The original host printed the port with "%ld" and a 32-bit long; a port
  // read from "-1" must print as "-1" again to survive a round trip.
  const std::string portText = std::to_string(static_cast<std::int32_t>(port_));
  std::string text;
  text.reserve(scheme_.size() + host_.size() + portText.size() + uri_.size() + 7);
  text.append(scheme_).append("://");
  // An IPv6 host goes in brackets; so does one that begins with "[" itself,
  // so that the text reads back as the same host.
  if (host_.find(':') != std::string::npos || (!host_.empty() && host_[0] == '['))
    text.append(1, '[').append(host_).append(1, ']');
  else
    text.append(host_);
  text.append(1, ':').append(portText);
  text.append(1, '/').append(uri_);
  return text;
}

void Url::parse(const std::string& text) {
  std::size_t start = 0;
  const std::size_t schemeEnd = text.find(':');
  if (schemeEnd != std::string::npos && text.compare(schemeEnd + 1, 2, "//") == 0) {
    scheme_ = lowerCase(text.substr(0, schemeEnd));
    start = schemeEnd + 3;
  } else {
    scheme_ = "http";
  }

  const std::size_t slash = text.find('/', start);
  const std::size_t hostEnd = slash == std::string::npos ? text.size() : slash;
  // An IPv6 literal is bracketed (RFC 3986): its colons are not the port's.
  std::size_t portColon = text.find(':', start);
  if (start < hostEnd && text[start] == '[') {
    const std::size_t close = text.find(']', start);
    if (close != std::string::npos && close < hostEnd) {
      host_.assign(text, start + 1, close - start - 1);
      portColon = close + 1 < hostEnd && text[close + 1] == ':' ? close + 1 : std::string::npos;
    } else {
      host_.assign(text, start, hostEnd - start);  // unclosed: no port to find
      portColon = std::string::npos;
    }
  } else {
    host_.assign(text, start, std::min(portColon, hostEnd) - start);
  }
  if (portColon == std::string::npos || portColon > hostEnd)
    port_ = scheme_ == "https" ? kHttpsPort : kHttpPort;
  else
    port_ = static_cast<std::uint32_t>(
        DRAV::detail::readSignedDecimal32(text.data() + portColon + 1, hostEnd - portColon - 1));
  if (slash == std::string::npos)
    uri_.clear();
  else
    uri(text.substr(slash + 1));
}
