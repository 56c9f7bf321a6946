// The process-wide cookie store of the WinINet layer: InternetSetCookieW
// and Set-Cookie answers fill it, requests to matching URLs send it. Cookies
// match by host (or Domain attribute, under RFC 6265 with the public-suffix
// list of libpsl), path prefix and Secure; Max-Age and Expires remove them.
// Nothing is written to disk. Bounded: at most
// kMaxCookiesPerHost per host and kMaxCookies in all (the oldest go first),
// and name plus value of at most kMaxCookieBytes. Internal to the layer.
#pragma once

#include <chrono>
#include <cstddef>
#include <mutex>
#include <string>
#include <vector>

namespace drav_wininet {

constexpr std::size_t kMaxCookies = 1000;
constexpr std::size_t kMaxCookiesPerHost = 50;
constexpr std::size_t kMaxCookieBytes = 4096;

// The parts of a URL cookies care about.
struct CookieUrl {
  std::string scheme;  // lower case
  std::string host;    // lower case, without port or brackets; an IPv4 address as a.b.c.d
  bool ipHost = false;  // the host is an IP address, in whatever spelling the URL had
  std::string path;    // "/" when the URL has none; no query or fragment
  // False for text that is not "scheme://host..." with a non-empty host.
  bool parse(const std::string& url);
};

class CookieStore {
public:
  using Clock = std::chrono::system_clock;

  static CookieStore& instance();

  // Stores the cookie of a Set-Cookie value received from (or set for)
  // `url`: "name=value; attribute; ...". False when it holds no acceptable
  // cookie (no "=", empty name, too long, a control character other than
  // a tab, a Domain that does not match the host or is a public suffix).
  // An expired cookie removes the one it replaces and returns true.
  bool set(const CookieUrl& url, const std::string& setCookie, Clock::time_point now = Clock::now());
  // "name=value; name=value" of the cookies for `url` (longer paths first,
  // then oldest first); empty when none.
  std::string header(const CookieUrl& url, Clock::time_point now = Clock::now());
  std::size_t size();
  void clear();

private:
  struct Cookie {
    std::string name, value, domain, path;
    bool hostOnly = true, secure = false, persistent = false;
    Clock::time_point expiry;
    unsigned long long created = 0;
  };

  void removeExpired(Clock::time_point now);
  void enforceLimits(const std::string& domain);

  std::mutex mutex_;
  std::vector<Cookie> cookies_;
  unsigned long long counter_ = 0;
};

// Seconds since 1970 of an HTTP date (RFC 1123, RFC 850 or asctime form,
// read leniently); false when it cannot be read.
bool parseCookieDate(const std::string& text, long long& seconds);

}  // namespace drav_wininet
