// Request headers and sending: HttpAddRequestHeadersW, HttpSendRequestW,
// HttpSendRequestExW, InternetWriteFile and HttpEndRequestW.
#include <win32/ascii_case.h>
#include <win32/utf_text.h>
#include <win32/wininet_cookies.h>
#include <win32/wininet_handles.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <string_view>

using namespace drav_wininet;

namespace {

struct HeaderLine {
  std::string_view name, value;
};

std::string_view trimmed(std::string_view s) {
  const auto blank = [](char c) { return c == ' ' || c == '\t'; };
  while (!s.empty() && blank(s.front())) s.remove_prefix(1);
  while (!s.empty() && blank(s.back())) s.remove_suffix(1);
  return s;
}

bool validName(std::string_view name) {
  return !name.empty() && std::all_of(name.begin(), name.end(), [](char c) {
    return c > 32 && c < 127 && c != ':';
  });
}

// Splits "Name: value" lines (CRLF or LF, blank lines skipped) into `lines`,
// up to the first malformed one; false when there is one.
bool splitLines(std::string_view text, std::vector<HeaderLine>& lines) {
  lines.reserve(static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')) + 1);
  std::size_t at = 0;
  while (at < text.size()) {
    std::size_t end = text.find('\n', at);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(at, end - at);
    at = end + 1;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty()) continue;
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos || line.find('\r') != std::string_view::npos) return false;
    const HeaderLine h{trimmed(line.substr(0, colon)), trimmed(line.substr(colon + 1))};
    if (!validName(h.name)) return false;
    lines.push_back(h);
  }
  return true;
}

// Whether a line can be refused (the name exists already, or is missing).
bool mayRefuse(DWORD modifiers) {
  return (modifiers & HTTP_ADDREQ_FLAG_ADD_IF_NEW) ||
         ((modifiers & HTTP_ADDREQ_FLAG_REPLACE) && !(modifiers & HTTP_ADDREQ_FLAG_ADD));
}

// Applies lines to `headers` as HttpAddRequestHeaders does, up to the first
// refused one; 0 or an error code.
DWORD applyLines(HeaderFields& headers, const std::vector<HeaderLine>& lines,
                 DWORD modifiers) {
  headers.reserve(headers.size() + lines.size());
  for (const HeaderLine& line : lines) {
    auto existing = std::find_if(headers.begin(), headers.end(),
                                 [&](const auto& h) { return equalsNoCase(h.first, line.name); });
    const bool found = existing != headers.end();
    if (modifiers & HTTP_ADDREQ_FLAG_ADD_IF_NEW) {
      if (found) return ERROR_HTTP_HEADER_ALREADY_EXISTS;
      headers.emplace_back(line.name, line.value);
    } else if (modifiers & HTTP_ADDREQ_FLAG_REPLACE) {
      if (found && line.value.empty()) headers.erase(existing);
      else if (found) existing->second = line.value;
      else if ((modifiers & HTTP_ADDREQ_FLAG_ADD) && !line.value.empty()) headers.emplace_back(line.name, line.value);
      else if (!(modifiers & HTTP_ADDREQ_FLAG_ADD)) return ERROR_HTTP_HEADER_NOT_FOUND;
    } else if (found && (modifiers & (HTTP_ADDREQ_FLAG_COALESCE_WITH_COMMA | HTTP_ADDREQ_FLAG_COALESCE_WITH_SEMICOLON))) {
      existing->second += modifiers & HTTP_ADDREQ_FLAG_COALESCE_WITH_COMMA ? ", " : "; ";
      existing->second += line.value;
    } else {
      headers.emplace_back(line.name, line.value);
    }
  }
  return ERROR_SUCCESS;
}

// All lines or none: a malformed or refused line leaves `headers` as they were.
DWORD addLines(HeaderFields& headers, const std::string& text, DWORD modifiers) {
  std::vector<HeaderLine> lines;
  const bool wellFormed = splitLines(text, lines);
  if (!mayRefuse(modifiers)) {
    if (!wellFormed) return ERROR_HTTP_INVALID_HEADER;
    return applyLines(headers, lines, modifiers);  // no line is refused: straight onto the headers
  }
  // A refusal may depend on the lines before it, so those go onto a copy
  // first; it is also the refusal that is reported when it comes before a
  // malformed line.
  auto copy = headers;
  DWORD rc = applyLines(copy, lines, modifiers);
  if (rc == ERROR_SUCCESS && !wellFormed) rc = ERROR_HTTP_INVALID_HEADER;
  if (rc == ERROR_SUCCESS) headers.swap(copy);
  return rc;
}

// What a header block gave a request without headers.
struct Block {
  std::basic_string<WCHAR> text;  // without a NUL; empty: nothing kept
  DWORD modifiers = 0;
  DWORD rc = ERROR_SUCCESS;
  HeaderFields headers;
};

// Whether `text` (`length` units, or up to a NUL before) is the kept block
// with the same modifiers. Compared unit by unit: a NUL in `text` differs
// from every unit kept, so nothing past it is read.
bool sameBlock(const Block& kept, LPCWSTR text, DWORD length, DWORD modifiers) {
  const std::size_t n = kept.text.size();
  const bool stated = length != static_cast<DWORD>(-1);
  if (n == 0 || kept.modifiers != modifiers || (stated && length < n)) return false;
  std::size_t i = 0;
  while (i < n && text[i] == kept.text[i]) ++i;
  return i == n && ((stated && length == n) || text[n] == 0);
}

DWORD addHeaders(Request& request, LPCWSTR text, DWORD length, DWORD modifiers) {
  if (!text || length == 0) return ERROR_SUCCESS;
  if (!request.headers.empty()) return addLines(request.headers, narrow(text, length), modifiers);
  // A new request mostly gets the same block as the one before it on this
  // thread: what that block gave is kept, so that the block is neither
  // converted nor parsed again.
  thread_local Block last;
  if (!sameBlock(last, text, length, modifiers)) {
    std::size_t units = 0;  // up to `length`, or to a NUL before it
    while ((length == static_cast<DWORD>(-1) || units < length) && text[units] != 0) ++units;
    if (units == 0) return ERROR_SUCCESS;
    last.text.clear();
    HeaderFields headers;
    last.rc = addLines(headers, drav_win32::narrow(text, units), modifiers);
    last.headers.swap(headers);
    last.modifiers = modifiers;
    last.text.assign(text, units);
  }
  if (last.rc == ERROR_SUCCESS) request.headers = last.headers;
  return last.rc;
}

// libcurl would probe with several schemes; a streamed body cannot be sent
// twice, so only one is ever learned: NTLM when offered, else Basic.
long singleScheme(long offered) {
  if (offered & CURLAUTH_NTLM) return CURLAUTH_NTLM;
  return offered & CURLAUTH_BASIC;
}

TransferSetup setupFor(Request& r, bool streamed) {
  const Connection& c = *r.connection;
  const Session& s = *c.session;
  const Options o = r.options();
  const bool secure = (r.flags & INTERNET_FLAG_SECURE) != 0;
  const unsigned port = c.port ? c.port : (secure ? INTERNET_DEFAULT_HTTPS_PORT : INTERNET_DEFAULT_HTTP_PORT);
  const bool bracketed = c.host.find(':') != std::string::npos;  // an IPv6 address
  const std::string portText = std::to_string(port);
  TransferSetup setup;
  std::string& url = setup.url;
  url.reserve(8 + c.host.size() + 3 + portText.size() + r.object.size());
  url.append(secure ? "https://" : "http://").append(bracketed ? "[" : "").append(c.host).append(bracketed ? "]" : "");
  url.append(":").append(portText).append(r.object);
  setup.verb = r.verb;
  setup.http10 = r.http10;
  setup.userAgent = s.agent;
  setup.storeCookies = (r.flags & INTERNET_FLAG_NO_COOKIES) == 0;
  if (setup.storeCookies && CookieStore::instance().size() > 0) {
    CookieUrl cookieUrl;
    if (cookieUrl.parse(setup.url)) setup.cookie = CookieStore::instance().header(cookieUrl);
  }
  setup.headers = &r.headers;
  setup.proxy = secure ? s.httpsProxy : s.httpProxy;
  setup.noProxy = s.noProxy;
  r.authSent = 0;
  if (!(r.flags & INTERNET_FLAG_NO_AUTH) && !o.user.empty()) {
    const long learned = c.learnedAuth(false);
    setup.httpAuth = learned ? learned : streamed ? 0 : (CURLAUTH_BASIC | CURLAUTH_NTLM);
    setup.user = o.user;
    setup.password = o.password;
    if (setup.httpAuth) r.authSent |= 1;
  }
  if (!setup.proxy.empty() && !o.proxyUser.empty()) {
    const long learned = c.learnedAuth(true);
    setup.proxyAuth = learned ? learned : streamed ? 0 : (CURLAUTH_BASIC | CURLAUTH_NTLM);
    setup.proxyUser = o.proxyUser;
    setup.proxyPassword = o.proxyPassword;
    if (setup.proxyAuth) r.authSent |= 2;
  }
  setup.verifyPeer = (o.securityFlags & SECURITY_FLAG_IGNORE_UNKNOWN_CA) == 0;
  setup.verifyHost = (o.securityFlags & SECURITY_FLAG_IGNORE_CERT_CN_INVALID) == 0;
  setup.caFile = o.caFile;
  setup.caFolder = o.caFolder;
  setup.connectTimeoutMs = o.connectTimeoutMs;
  setup.sendTimeoutMs = o.sendTimeoutMs;
  setup.receiveTimeoutMs = o.receiveTimeoutMs;
  return setup;
}

// Remembers the schemes a 401 or 407 offered, for later sends on the connection.
void learnAuth(Request& r) {
  if (const long server = singleScheme(r.transfer.offeredAuthSeen(false))) r.connection->learnAuth(false, server);
  if (const long proxy = singleScheme(r.transfer.offeredAuthSeen(true))) r.connection->learnAuth(true, proxy);
}

// True when the answer asks for credentials that are set but were not sent.
bool mustSendAgain(Request& r) {
  const int status = r.transfer.head().status;
  const Options o = r.options();
  if (status == HTTP_STATUS_DENIED)
    return !(r.authSent & 1) && !o.user.empty() && !(r.flags & INTERNET_FLAG_NO_AUTH) &&
           singleScheme(r.transfer.head().offeredAuth(false)) != 0;
  if (status == HTTP_STATUS_PROXY_AUTH_REQ)
    return !(r.authSent & 2) && !o.proxyUser.empty() && singleScheme(r.transfer.head().offeredAuth(true)) != 0;
  return false;
}

// Reads what is left of an answer the caller will not see (a bounded
// amount), so the connection can carry the repeated request.
void discardAnswer(Request& r) {
  unsigned char scratch[4096];
  for (int i = 0; i < 16; ++i) {
    DWORD got = 0;
    if (r.transfer.read(scratch, sizeof scratch, got) != ERROR_SUCCESS || got == 0) return;
  }
  r.transfer.abandon();
}

BOOL fail(DWORD error) {
  SetLastError(error);
  return FALSE;
}

DWORD startTransfer(Request& r, const void* body, std::uint64_t size, bool streamed) {
  if (!r.engine) r.engine = r.connection->takeEngine();
  const DWORD rc = r.transfer.start(*r.engine, setupFor(r, streamed), body, size, streamed);
  learnAuth(r);
  return rc;
}

}  // namespace

BOOL WINAPI HttpAddRequestHeadersW(HINTERNET handle, LPCWSTR headers, DWORD headersLength, DWORD modifiers) {
  std::shared_ptr<Request> request = findAs<Request>(handle, Kind::Request);
  if (!request) return FALSE;
  if (!headers) return fail(ERROR_INVALID_PARAMETER);
  try {
    const DWORD rc = addHeaders(*request, headers, headersLength, modifiers);
    return rc == ERROR_SUCCESS ? TRUE : fail(rc);
  } catch (const std::bad_alloc&) {
    return fail(ERROR_NOT_ENOUGH_MEMORY);
  }
}

BOOL WINAPI HttpSendRequestW(HINTERNET handle, LPCWSTR headers, DWORD headersLength, LPVOID optional,
                             DWORD optionalLength) {
  std::shared_ptr<Request> request = findAs<Request>(handle, Kind::Request);
  if (!request) return FALSE;
  if (optionalLength > 0 && !optional) return fail(ERROR_INVALID_PARAMETER);
  try {
    DWORD rc = addHeaders(*request, headers, headersLength, HTTP_ADDREQ_FLAG_ADD | HTTP_ADDREQ_FLAG_REPLACE);
    if (rc == ERROR_SUCCESS) rc = startTransfer(*request, optional, optionalLength, false);
    return rc == ERROR_SUCCESS ? TRUE : fail(rc);
  } catch (const std::bad_alloc&) {
    return fail(ERROR_NOT_ENOUGH_MEMORY);
  }
}

BOOL WINAPI HttpSendRequestExW(HINTERNET handle, LPINTERNET_BUFFERSW buffersIn, LPINTERNET_BUFFERSW, DWORD,
                               DWORD_PTR) {
  std::shared_ptr<Request> request = findAs<Request>(handle, Kind::Request);
  if (!request) return FALSE;
  const DWORD total = buffersIn ? buffersIn->dwBufferTotal : 0;
  const DWORD first = buffersIn && buffersIn->lpvBuffer ? buffersIn->dwBufferLength : 0;
  if (first > total) return fail(ERROR_INVALID_PARAMETER);
  try {
    DWORD rc = buffersIn ? addHeaders(*request, buffersIn->lpcszHeader, buffersIn->dwHeadersLength,
                                      HTTP_ADDREQ_FLAG_ADD | HTTP_ADDREQ_FLAG_REPLACE)
                         : ERROR_SUCCESS;
    if (rc == ERROR_SUCCESS) rc = startTransfer(*request, nullptr, total, true);
    if (rc == ERROR_SUCCESS && first > 0) rc = request->transfer.write(buffersIn->lpvBuffer, first);
    return rc == ERROR_SUCCESS ? TRUE : fail(rc);
  } catch (const std::bad_alloc&) {
    return fail(ERROR_NOT_ENOUGH_MEMORY);
  }
}

BOOL WINAPI InternetWriteFile(HINTERNET handle, LPCVOID buffer, DWORD numberOfBytesToWrite,
                              LPDWORD numberOfBytesWritten) {
  if (!numberOfBytesWritten) return fail(ERROR_INVALID_PARAMETER);
  *numberOfBytesWritten = 0;
  std::shared_ptr<Request> request = findAs<Request>(handle, Kind::Request);
  if (!request) return FALSE;
  if (numberOfBytesToWrite > 0 && !buffer) return fail(ERROR_INVALID_PARAMETER);
  const DWORD rc = request->transfer.write(buffer, numberOfBytesToWrite);
  if (rc != ERROR_SUCCESS) return fail(rc);
  *numberOfBytesWritten = numberOfBytesToWrite;
  return TRUE;
}

BOOL WINAPI HttpEndRequestW(HINTERNET handle, LPINTERNET_BUFFERSW, DWORD, DWORD_PTR) {
  std::shared_ptr<Request> request = findAs<Request>(handle, Kind::Request);
  if (!request) return FALSE;
  const DWORD rc = request->transfer.finish();
  learnAuth(*request);
  if (rc != ERROR_SUCCESS) return fail(rc);
  if (mustSendAgain(*request)) {
    discardAnswer(*request);
    return fail(ERROR_INTERNET_FORCE_RETRY);
  }
  return TRUE;
}
