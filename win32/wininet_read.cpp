// Reading answers: InternetReadFile and HttpQueryInfoW.
#include <win32/wininet_handles.h>

#include <win32/ascii_case.h>
#include <win32/utf_text.h>

#include <algorithm>
#include <cstring>
#include <new>

using namespace drav_wininet;

namespace {

BOOL fail(DWORD error) {
  SetLastError(error);
  return FALSE;
}

// The header behind a query level; null for levels not offered.
const char* headerName(DWORD level) {
  switch (level) {
    case HTTP_QUERY_CONTENT_TYPE: return "Content-Type";
    case HTTP_QUERY_CONTENT_LENGTH: return "Content-Length";
    case HTTP_QUERY_DATE: return "Date";
    case HTTP_QUERY_CONNECTION: return "Connection";
    case HTTP_QUERY_AUTHORIZATION: return "Authorization";
    case HTTP_QUERY_CONTENT_ENCODING: return "Content-Encoding";
    case HTTP_QUERY_LOCATION: return "Location";
    case HTTP_QUERY_SERVER: return "Server";
    case HTTP_QUERY_USER_AGENT: return "User-Agent";
    case HTTP_QUERY_WWW_AUTHENTICATE: return "WWW-Authenticate";
    case HTTP_QUERY_PROXY_AUTHENTICATE: return "Proxy-Authenticate";
    case HTTP_QUERY_SET_COOKIE: return "Set-Cookie";
    case HTTP_QUERY_COOKIE: return "Cookie";
    case HTTP_QUERY_HOST: return "Host";
    case HTTP_QUERY_TRANSFER_ENCODING: return "Transfer-Encoding";
    default: return nullptr;
  }
}

// The n-th value of a header in "Name: value" lines or name/value pairs.
bool findHeader(const Request& r, bool requestHeaders, const std::string& name, DWORD n, std::string& value) {
  DWORD seen = 0;
  if (requestHeaders) {
    for (const auto& h : r.headers)
      if (equalsNoCase(h.first, name) && seen++ == n) return value = h.second, true;
    return false;
  }
  for (const std::string& line : r.transfer.head().lines) {
    const std::size_t colon = line.find(':');
    if (colon == std::string::npos || !equalsNoCase(std::string_view(line).substr(0, colon), name) || seen++ != n) continue;
    value = line.substr(colon + 1);
    value.erase(0, value.find_first_not_of(" \t"));
    return true;
  }
  return false;
}

// The text a query answers with, or an error code.
DWORD queryText(const Request& r, DWORD level, bool requestHeaders, LPVOID buffer, DWORD index, std::string& text) {
  const ResponseHead& head = r.transfer.head();
  if (!requestHeaders && !r.transfer.answered()) return ERROR_HTTP_HEADER_NOT_FOUND;
  const std::size_t space = head.statusLine.find(' ');
  switch (level) {
    case HTTP_QUERY_STATUS_CODE:
      if (requestHeaders) return ERROR_HTTP_INVALID_QUERY_REQUEST;
      text = std::to_string(head.status);
      return ERROR_SUCCESS;
    case HTTP_QUERY_STATUS_TEXT: {
      if (requestHeaders || space == std::string::npos) return ERROR_HTTP_HEADER_NOT_FOUND;
      const std::size_t reason = head.statusLine.find(' ', space + 1);
      text = reason == std::string::npos ? "" : head.statusLine.substr(reason + 1);
      return ERROR_SUCCESS;
    }
    case HTTP_QUERY_VERSION:
      if (requestHeaders) return ERROR_HTTP_INVALID_QUERY_REQUEST;
      text = head.statusLine.substr(0, space);
      return ERROR_SUCCESS;
    case HTTP_QUERY_RAW_HEADERS:
    case HTTP_QUERY_RAW_HEADERS_CRLF: {
      const std::string end = level == HTTP_QUERY_RAW_HEADERS ? std::string(1, '\0') : "\r\n";
      if (requestHeaders) {
        text = r.verb + " " + r.object + (r.http10 ? " HTTP/1.0" : " HTTP/1.1") + end;
        for (const auto& h : r.headers) text += h.first + ": " + h.second + end;
      } else {
        text = head.statusLine + end;
        for (const std::string& line : head.lines) text += line + end;
      }
      if (level == HTTP_QUERY_RAW_HEADERS_CRLF) text += end;
      return ERROR_SUCCESS;
    }
    case HTTP_QUERY_CUSTOM:
      if (!buffer) return ERROR_INVALID_PARAMETER;
      return findHeader(r, requestHeaders, narrow(static_cast<LPCWSTR>(buffer)), index, text)
                 ? ERROR_SUCCESS
                 : ERROR_HTTP_HEADER_NOT_FOUND;
    default: {
      const char* name = headerName(level);
      if (!name) return ERROR_HTTP_INVALID_QUERY_REQUEST;
      return findHeader(r, requestHeaders, name, index, text) ? ERROR_SUCCESS : ERROR_HTTP_HEADER_NOT_FOUND;
    }
  }
}

}  // namespace

BOOL WINAPI InternetReadFile(HINTERNET handle, LPVOID buffer, DWORD numberOfBytesToRead, LPDWORD numberOfBytesRead) {
  if (!numberOfBytesRead) return fail(ERROR_INVALID_PARAMETER);
  *numberOfBytesRead = 0;
  std::shared_ptr<Request> request = findAs<Request>(handle, Kind::Request);
  if (!request) return FALSE;
  if (numberOfBytesToRead > 0 && !buffer) return fail(ERROR_INVALID_PARAMETER);
  DWORD got = 0;
  const DWORD rc = request->transfer.read(buffer, numberOfBytesToRead, got);
  if (rc != ERROR_SUCCESS) return fail(rc);
  *numberOfBytesRead = got;
  return TRUE;
}

BOOL WINAPI HttpQueryInfoW(HINTERNET handle, DWORD infoLevel, LPVOID buffer, LPDWORD bufferLength, LPDWORD index) {
  std::shared_ptr<Request> request = findAs<Request>(handle, Kind::Request);
  if (!request) return FALSE;
  if (!bufferLength) return fail(ERROR_INVALID_PARAMETER);
  const DWORD modifiers = infoLevel & HTTP_QUERY_MODIFIER_FLAGS_MASK;
  if (modifiers & (HTTP_QUERY_FLAG_SYSTEMTIME | HTTP_QUERY_FLAG_NUMBER64 | HTTP_QUERY_FLAG_COALESCE))
    return fail(ERROR_CALL_NOT_IMPLEMENTED);
  const DWORD level = infoLevel & HTTP_QUERY_HEADER_MASK;
  try {
    if (level == HTTP_QUERY_STATUS_CODE && modifiers == HTTP_QUERY_FLAG_NUMBER && request->transfer.answered()) {
      // The question asked after every send, answered without a text between.
      if (!buffer || *bufferLength < sizeof(DWORD)) {
        *bufferLength = sizeof(DWORD);
        return fail(ERROR_INSUFFICIENT_BUFFER);
      }
      const DWORD status = static_cast<DWORD>(request->transfer.head().status);
      std::memcpy(buffer, &status, sizeof status);
      *bufferLength = sizeof status;
      return TRUE;
    }
    std::string text;
    const DWORD rc = queryText(*request, level, (modifiers & HTTP_QUERY_FLAG_REQUEST_HEADERS) != 0, buffer,
                               index ? *index : 0, text);
    if (rc != ERROR_SUCCESS) return fail(rc);
    if (modifiers & HTTP_QUERY_FLAG_NUMBER) {
      if (!buffer || *bufferLength < sizeof(DWORD)) {
        *bufferLength = sizeof(DWORD);
        return fail(ERROR_INSUFFICIENT_BUFFER);
      }
      const DWORD number = static_cast<DWORD>(std::strtoul(text.c_str(), nullptr, 10));
      std::memcpy(buffer, &number, sizeof number);
      *bufferLength = sizeof number;
    } else {
      const std::basic_string<WCHAR> wide = drav_win32::widen(text.data(), text.size());
      const DWORD needed = static_cast<DWORD>((wide.size() + 1) * sizeof(WCHAR));
      if (!buffer || *bufferLength < needed) {
        *bufferLength = needed;
        return fail(ERROR_INSUFFICIENT_BUFFER);
      }
      std::memcpy(buffer, wide.c_str(), needed);
      *bufferLength = needed - sizeof(WCHAR);
    }
    const bool repeatable = level == HTTP_QUERY_CUSTOM || headerName(level) != nullptr;
    if (index && repeatable) ++*index;
    return TRUE;
  } catch (const std::bad_alloc&) {
    return fail(ERROR_NOT_ENOUGH_MEMORY);
  }
}
