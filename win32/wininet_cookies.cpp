#include <win32/wininet_cookies.h>

#include <win32/kernel32.h>
#include <win32/utf_text.h>
#include <win32/wininet.h>
#include <win32/wininet_handles.h>

#include <libpsl.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstring>

namespace drav_wininet {
namespace {

std::string lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

std::string trim(const std::string& s) {
  const std::size_t a = s.find_first_not_of(" \t");
  if (a == std::string::npos) return "";
  return s.substr(a, s.find_last_not_of(" \t") - a + 1);
}

// RFC 6265 5.1.3: the host equals the domain, or is a host name (never an
// IP address) that ends with "." + domain.
bool domainMatches(const CookieUrl& url, const std::string& domain) {
  const std::string& host = url.host;
  if (host == domain) return true;
  return !url.ipHost && host.size() > domain.size() &&
         host.compare(host.size() - domain.size(), domain.size(), domain) == 0 &&
         host[host.size() - domain.size() - 1] == '.';
}

// A domain under which anyone may register names ("com", "co.uk",
// "github.io"), so no site may set cookies for it. A name of one label is
// one whatever the list says. The list spells names without the root's dot
// ("co.uk", not "co.uk."); a name with an empty label is no domain at all.
bool isPublicSuffix(std::string domain) {
  // The newer of the system's list and the one built into libpsl; never
  // freed: used until the process ends. Without one, every Domain counts as
  // a suffix, so cookies stay host-only.
  static const psl_ctx_t* const list = psl_latest(nullptr);
  if (!domain.empty() && domain.back() == '.') domain.pop_back();
  if (!list || domain.find('.') == std::string::npos || domain.front() == '.' || domain.back() == '.' ||
      domain.find("..") != std::string::npos)
    return true;
  return psl_is_public_suffix2(list, domain.c_str(), PSL_TYPE_ANY) != 0;
}

// Control characters other than a tab would end or split the Cookie header
// the value is sent back in.
bool hasControlCharacter(const std::string& text) {
  return std::any_of(text.begin(), text.end(), [](char c) {
    const unsigned char u = static_cast<unsigned char>(c);
    return (u < 0x20 && u != '\t') || u == 0x7F;
  });
}

// One part of an IPv4 address (lower case) as the address parsers read it:
// decimal, 0x hex or 0-led octal.
bool ipv4Part(const std::string& text, std::uint64_t& value) {
  int base = 10;
  std::size_t at = 0;
  if (text.size() > 1 && text[0] == '0' && text[1] == 'x') base = 16, at = 2;
  else if (text.size() > 1 && text[0] == '0') base = 8, at = 1;
  value = 0;
  if (at == text.size() && base != 16) return false;
  for (; at < text.size(); ++at) {
    const char c = text[at];
    const int digit = std::isdigit(static_cast<unsigned char>(c)) ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : 99;
    if (digit >= base) return false;
    value = value * base + digit;
    if (value > 0xFFFFFFFFull) return false;
  }
  return true;
}

// "127.0.0.1" for every spelling of an IPv4 address a URL may use ("127.1",
// "0x7f.0.0.1", "2130706433", "0177.0.0.1"); false for a host name.
bool canonicalIpv4(std::string host, std::string& dotted) {
  if (!host.empty() && host.back() == '.') host.pop_back();  // the root's dot
  std::vector<std::uint64_t> parts;
  for (std::size_t start = 0;;) {
    const std::size_t dot = std::min(host.find('.', start), host.size());
    std::uint64_t value = 0;
    if (parts.size() == 4 || !ipv4Part(host.substr(start, dot - start), value)) return false;
    parts.push_back(value);
    if (dot == host.size()) break;
    start = dot + 1;
  }
  std::uint64_t address = 0;
  for (std::size_t i = 0; i + 1 < parts.size(); ++i) {
    if (parts[i] > 255) return false;
    address |= parts[i] << (8 * (3 - i));
  }
  if (parts.back() >= (1ull << (8 * (5 - parts.size())))) return false;
  address |= parts.back();
  dotted = std::to_string(address >> 24) + "." + std::to_string((address >> 16) & 255) + "." +
           std::to_string((address >> 8) & 255) + "." + std::to_string(address & 255);
  return true;
}

// RFC 6265 5.1.4.
bool pathMatches(const std::string& requestPath, const std::string& cookiePath) {
  if (requestPath.compare(0, cookiePath.size(), cookiePath) != 0) return false;
  return requestPath.size() == cookiePath.size() || cookiePath.back() == '/' || requestPath[cookiePath.size()] == '/';
}

std::string defaultPath(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (path.empty() || path[0] != '/' || slash == 0 || slash == std::string::npos) return "/";
  return path.substr(0, slash);
}

// Where a cookie set by `url` with the Domain attribute `attribute` (empty
// when it has none) may go (RFC 6265 5.3 steps 4 to 6): false when nowhere.
// An IP address and a public suffix only ever get host-only cookies, and a
// Domain that is an IP address (in any spelling) names no host but itself.
bool cookieDomain(const CookieUrl& url, std::string attribute, std::string& domain, bool& hostOnly) {
  domain = url.host;
  hostOnly = true;
  if (attribute.empty()) return true;
  const bool addressDomain = canonicalIpv4(attribute, attribute);
  if (url.ipHost || addressDomain) return attribute == url.host;
  if (!domainMatches(url, attribute)) return false;
  if (isPublicSuffix(attribute)) return attribute == url.host;
  domain = attribute;
  hostOnly = false;
  return true;
}

// RFC 6265 5.2.2: an optional '-' and digits, or the attribute is ignored
// (false). Held to at most 100 years, and a far-negative count is read only
// as far as it takes to know it ends the cookie: the clock counts neither.
bool maxAgeSeconds(const std::string& text, long long& seconds) {
  const bool negative = !text.empty() && text[0] == '-';
  const std::size_t first = negative ? 1 : 0;
  if (text.size() == first ||
      !std::all_of(text.begin() + first, text.end(), [](char c) { return c >= '0' && c <= '9'; }))
    return false;
  constexpr long long kLongest = 100LL * 365 * 86400;
  seconds = 0;
  for (std::size_t i = first; i < text.size() && seconds <= kLongest; ++i) seconds = seconds * 10 + (text[i] - '0');
  seconds = negative ? -seconds : std::min(seconds, kLongest);
  return true;
}

long long daysFromCivil(long long y, unsigned m, unsigned d) {
  y -= m <= 2;
  const long long era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<long long>(doe) - 719468;
}

}  // namespace

bool parseCookieDate(const std::string& text, long long& seconds) {
  static const char* const months[] = {"jan", "feb", "mar", "apr", "may", "jun",
                                       "jul", "aug", "sep", "oct", "nov", "dec"};
  int day = -1, month = -1, year = -1, hour = -1, minute = 0, second = 0;
  std::size_t i = 0;
  while (i < text.size()) {
    while (i < text.size() && !std::isalnum(static_cast<unsigned char>(text[i]))) ++i;
    std::size_t j = i;
    while (j < text.size() && (std::isalnum(static_cast<unsigned char>(text[j])) || text[j] == ':')) ++j;
    const std::string token = lower(text.substr(i, j - i));
    i = j;
    if (token.empty() || token.size() > 8) continue;
    if (hour < 0 && token.find(':') != std::string::npos) {
      if (std::sscanf(token.c_str(), "%2d:%2d:%2d", &hour, &minute, &second) < 2) return false;
    } else if (month < 0 && std::isalpha(static_cast<unsigned char>(token[0])) && token.size() >= 3) {
      for (int m = 0; m < 12; ++m)
        if (token.compare(0, 3, months[m]) == 0) month = m + 1;
    } else if (std::all_of(token.begin(), token.end(), ::isdigit)) {
      const int value = std::atoi(token.c_str());
      if (day < 0 && token.size() <= 2) day = value;
      else if (year < 0 && (token.size() == 2 || token.size() == 4)) year = value;
    }
  }
  if (year >= 0 && year < 70) year += 2000;
  else if (year >= 70 && year < 100) year += 1900;
  if (day < 1 || day > 31 || month < 0 || year < 1601 || hour < 0 || hour > 23 || minute > 59 || second > 59)
    return false;
  seconds = daysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) * 86400 + hour * 3600 +
            minute * 60 + second;
  return true;
}

bool CookieUrl::parse(const std::string& url) {
  const std::size_t colon = url.find("://");
  if (colon == std::string::npos || colon == 0) return false;
  scheme = lower(url.substr(0, colon));
  const std::size_t start = colon + 3;
  const std::size_t end = std::min(url.find_first_of("/?#", start), url.size());
  std::string authority = url.substr(start, end - start);
  const std::size_t at = authority.rfind('@');
  if (at != std::string::npos) authority.erase(0, at + 1);
  if (!authority.empty() && authority[0] == '[') {
    const std::size_t close = authority.find(']');
    if (close == std::string::npos) return false;
    host = authority.substr(1, close - 1);
  } else {
    host = authority.substr(0, authority.find(':'));
  }
  host = lower(host);
  ipHost = host.find(':') != std::string::npos || canonicalIpv4(host, host);
  path = end < url.size() && url[end] == '/' ? url.substr(end, url.find_first_of("?#", end) - end) : "/";
  return !host.empty();
}

CookieStore& CookieStore::instance() {
  static CookieStore* store = new CookieStore();  // never destroyed: used until the process ends
  return *store;
}

bool CookieStore::set(const CookieUrl& url, const std::string& setCookie, Clock::time_point now) {
  if (hasControlCharacter(setCookie)) return false;
  const std::size_t semicolon = std::min(setCookie.find(';'), setCookie.size());
  const std::string pair = setCookie.substr(0, semicolon);
  const std::size_t equals = pair.find('=');
  if (equals == std::string::npos) return false;
  Cookie c;
  c.name = trim(pair.substr(0, equals));
  c.value = trim(pair.substr(equals + 1));
  if (c.name.empty() || c.name.size() + c.value.size() > kMaxCookieBytes) return false;
  c.path = defaultPath(url.path);
  std::string domain;  // of the last Domain attribute (RFC 6265 5.3 step 4)
  bool expired = false;
  long long maxAge = 0;
  for (std::size_t at = semicolon; at < setCookie.size();) {
    const std::size_t next = std::min(setCookie.find(';', at + 1), setCookie.size());
    const std::string attribute = setCookie.substr(at + 1, next - at - 1);
    at = next;
    const std::size_t eq = attribute.find('=');
    const std::string key = lower(trim(attribute.substr(0, eq)));
    const std::string value = eq == std::string::npos ? "" : trim(attribute.substr(eq + 1));
    if (value.size() > kMaxCookieAttributeBytes) continue;  // ignored, as RFC 6265bis 5.6 has it
    if (key == "domain" && !value.empty()) {
      domain = lower(value[0] == '.' ? value.substr(1) : value);
    } else if (key == "path" && !value.empty() && value[0] == '/') {
      c.path = value;
    } else if (key == "secure") {
      c.secure = true;
    } else if (key == "max-age" && maxAgeSeconds(value, maxAge)) {
      // Max-Age wins over Expires (RFC 6265 5.3 step 3).
      c.persistent = true;
      expired = maxAge <= 0;
      c.expiry = now + std::chrono::seconds(std::max(maxAge, 0LL));
    } else if (key == "expires" && !c.persistent) {
      long long seconds = 0;
      if (parseCookieDate(value, seconds)) {
        // Kept within what the clock can count (about 1678 to 2262).
        const long long nowSeconds = static_cast<long long>(Clock::to_time_t(now));
        seconds = std::max(0LL, std::min(seconds, nowSeconds + 100LL * 365 * 86400));
        c.persistent = true;
        c.expiry = Clock::from_time_t(static_cast<std::time_t>(seconds));
        expired = c.expiry <= now;
      }
    }
  }
  if (!cookieDomain(url, domain, c.domain, c.hostOnly)) return false;
  std::lock_guard<std::mutex> lock(mutex_);
  auto same = std::find_if(cookies_.begin(), cookies_.end(), [&](const Cookie& o) {
    return o.name == c.name && o.domain == c.domain && o.path == c.path;
  });
  if (expired) {
    if (same != cookies_.end()) cookies_.erase(same);
    return true;
  }
  if (same != cookies_.end()) {
    c.created = same->created;  // a replaced cookie keeps its place
    *same = c;
    return true;
  }
  c.created = ++counter_;
  cookies_.push_back(c);
  enforceLimits(c.domain);
  return true;
}

void CookieStore::removeExpired(Clock::time_point now) {
  cookies_.erase(std::remove_if(cookies_.begin(), cookies_.end(),
                                [&](const Cookie& c) { return c.persistent && c.expiry <= now; }),
                 cookies_.end());
}

void CookieStore::enforceLimits(const std::string& domain) {
  // cookies_ is in creation order (new ones are appended), so the first match is the oldest.
  if (std::count_if(cookies_.begin(), cookies_.end(), [&](const Cookie& c) { return c.domain == domain; }) >
      static_cast<long>(kMaxCookiesPerHost))
    cookies_.erase(std::find_if(cookies_.begin(), cookies_.end(), [&](const Cookie& c) { return c.domain == domain; }));
  if (cookies_.size() > kMaxCookies) cookies_.erase(cookies_.begin());
}

std::string CookieStore::header(const CookieUrl& url, Clock::time_point now) {
  std::lock_guard<std::mutex> lock(mutex_);
  removeExpired(now);
  std::vector<const Cookie*> matching;
  for (const Cookie& c : cookies_) {
    const bool hostOk = c.hostOnly ? url.host == c.domain : domainMatches(url, c.domain);
    if (hostOk && pathMatches(url.path, c.path) && (!c.secure || url.scheme == "https")) matching.push_back(&c);
  }
  std::stable_sort(matching.begin(), matching.end(), [](const Cookie* a, const Cookie* b) {
    return a->path.size() != b->path.size() ? a->path.size() > b->path.size() : a->created < b->created;
  });
  std::string text;
  for (const Cookie* c : matching) {
    if (!text.empty()) text += "; ";
    text += c->name + "=" + c->value;
  }
  return text;
}

std::size_t CookieStore::size() {
  std::lock_guard<std::mutex> lock(mutex_);
  return cookies_.size();
}

void CookieStore::clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  cookies_.clear();
}

}  // namespace drav_wininet

using drav_wininet::narrow;

namespace {

// The cookie URL a wide URL argument names; null when it names none. A
// process mostly passes the same URL every time: the last one read on this
// thread is kept, so that it is neither converted nor parsed again.
const drav_wininet::CookieUrl* cookieUrlOf(LPCWSTR url) {
  thread_local std::basic_string<WCHAR> lastText;
  thread_local drav_wininet::CookieUrl last;
  std::size_t length = 0;
  while (url[length] != 0) ++length;
  if (!lastText.empty() && lastText.size() == length &&
      std::memcmp(lastText.data(), url, length * sizeof(WCHAR)) == 0)
    return &last;
  lastText.clear();
  if (!last.parse(narrow(url))) return nullptr;
  lastText.assign(url, length);
  return &last;
}

}  // namespace

BOOL WINAPI InternetSetCookieW(LPCWSTR url, LPCWSTR cookieName, LPCWSTR cookieData) {
  if (!url || !cookieData) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const drav_wininet::CookieUrl* target = cookieUrlOf(url);
  if (!target) {
    SetLastError(ERROR_INTERNET_INVALID_URL);
    return FALSE;
  }
  if (target->scheme != "http" && target->scheme != "https") {
    SetLastError(ERROR_INTERNET_UNRECOGNIZED_SCHEME);
    return FALSE;
  }
  const std::string data = narrow(cookieData);
  const bool named = cookieName && cookieName[0] != 0;
  // An empty cookie string holds no cookie: nothing to store, nothing wrong.
  if (!named && data.find_first_not_of(" \t") == std::string::npos) return TRUE;
  const std::string text = named ? narrow(cookieName) + "=" + data : data;
  if (!drav_wininet::CookieStore::instance().set(*target, text)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  return TRUE;
}

BOOL WINAPI InternetGetCookieW(LPCWSTR url, LPCWSTR /*cookieName: reserved*/, LPWSTR cookieData, LPDWORD size) {
  if (!url || !size) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const drav_wininet::CookieUrl* target = cookieUrlOf(url);
  if (!target) {
    SetLastError(ERROR_INTERNET_INVALID_URL);
    return FALSE;
  }
  const std::string text = drav_wininet::CookieStore::instance().header(*target);
  if (text.empty()) {
    SetLastError(ERROR_NO_MORE_ITEMS);
    return FALSE;
  }
  const std::basic_string<WCHAR> wide = drav_win32::widen(text.data(), text.size());
  const DWORD needed = static_cast<DWORD>(wide.size() + 1);
  if (!cookieData) {
    *size = needed * sizeof(WCHAR);
    return TRUE;
  }
  if (*size < needed) {
    *size = needed;
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  std::memcpy(cookieData, wide.c_str(), needed * sizeof(WCHAR));
  *size = needed;
  return TRUE;
}
