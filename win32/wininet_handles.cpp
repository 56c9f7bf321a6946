#include <win32/wininet_handles.h>

#include <win32/utf_text.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <unordered_map>

namespace drav_wininet {
namespace {

// Idle engines kept per connection handle: one per thread that calls
// through it at the same time is what gets reused.
constexpr std::size_t kMaxIdleEngines = 8;
constexpr std::size_t kMaxHandles = 1u << 20;

struct Registry {
  std::mutex mutex;
  std::unordered_map<std::uintptr_t, std::shared_ptr<Object>> objects;
  std::uintptr_t next = 0xCC0004;
  Options defaults;
  DWORD httpMinorVersion = 1;
};

Registry& registry() {
  static Registry* r = new Registry();  // never destroyed: handles may be closed during exit
  return *r;
}

void initialiseCurlOnce() {
  static const CURLcode initialised = curl_global_init(CURL_GLOBAL_ALL);
  (void)initialised;
}

const char* environment(const char* lowerName, const char* upperName) {
  const char* value = std::getenv(lowerName);
  if (!value || !*value) value = std::getenv(upperName);
  return value && *value ? value : nullptr;
}

// A proxy as "host:port" with WinINet's default port 80 (libcurl's is 1080).
std::string proxyAddress(std::string text) {
  const std::size_t scheme = text.find("://");
  if (scheme != std::string::npos) text.erase(0, scheme + 3);
  while (!text.empty() && text.back() == '/') text.pop_back();
  const std::size_t bracket = text.rfind(']');
  const std::size_t colon = text.rfind(':');
  if (colon == std::string::npos || (bracket != std::string::npos && colon < bracket)) text += ":80";
  return text;
}

// "host:port", "http=host:port https=host:port", separated by blanks or ";".
bool parseProxyList(const std::string& list, Session& session) {
  std::size_t at = 0;
  bool any = false;
  while (at < list.size()) {
    const std::size_t end = std::min(list.find_first_of(" \t;", at), list.size());
    const std::string token = list.substr(at, end - at);
    at = end + 1;
    if (token.empty()) continue;
    const std::size_t equals = token.find('=');
    const std::string scheme = equals == std::string::npos ? "" : token.substr(0, equals);
    const std::string address = proxyAddress(equals == std::string::npos ? token : token.substr(equals + 1));
    if (scheme.empty() || scheme == "http") session.httpProxy = address;
    if (scheme.empty() || scheme == "https") session.httpsProxy = address;
    any = true;
  }
  return any;
}

// WinINet's bypass list (blanks or ";") as libcurl's (commas). "<local>"
// (names without a dot) has no libcurl form and is left out.
std::string bypassList(const std::string& list) {
  std::string out;
  std::size_t at = 0;
  while (at < list.size()) {
    const std::size_t end = std::min(list.find_first_of(" \t;", at), list.size());
    const std::string token = list.substr(at, end - at);
    at = end + 1;
    if (token.empty() || token == "<local>") continue;
    if (!out.empty()) out += ',';
    out += token;
  }
  return out;
}

bool readDword(LPVOID buffer, DWORD length, DWORD& value) {
  if (!buffer) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  if (length < sizeof(DWORD)) {
    SetLastError(ERROR_INTERNET_BAD_OPTION_LENGTH);
    return false;
  }
  std::memcpy(&value, buffer, sizeof value);
  return true;
}

BOOL setTimeout(HINTERNET handle, DWORD option, DWORD value) {
  auto apply = [&](Options& o) {
    if (option == INTERNET_OPTION_CONNECT_TIMEOUT) o.connectTimeoutMs = value;
    else if (option == INTERNET_OPTION_SEND_TIMEOUT || option == INTERNET_OPTION_DATA_SEND_TIMEOUT) o.sendTimeoutMs = value;
    else o.receiveTimeoutMs = value;
  };
  if (!handle) {
    std::lock_guard<std::mutex> lock(registry().mutex);
    apply(registry().defaults);
    return TRUE;
  }
  std::shared_ptr<Object> object = findObject(handle);
  if (!object) return FALSE;
  object->changeOptions(apply);
  return TRUE;
}

BOOL setText(HINTERNET handle, DWORD option, LPVOID buffer, DWORD length) {
  if (!handle) {
    SetLastError(ERROR_INTERNET_INCORRECT_HANDLE_TYPE);
    return FALSE;
  }
  std::shared_ptr<Object> object = findObject(handle);
  if (!object) return FALSE;
  if (!buffer) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const std::string text = narrow(static_cast<LPCWSTR>(buffer), length ? length : static_cast<DWORD>(-1));
  object->changeOptions([&](Options& o) {
    if (option == INTERNET_OPTION_USERNAME) o.user = text;
    else if (option == INTERNET_OPTION_PASSWORD) o.password = text;
    else if (option == INTERNET_OPTION_PROXY_USERNAME) o.proxyUser = text;
    else if (option == INTERNET_OPTION_PROXY_PASSWORD) o.proxyPassword = text;
    else if (option == INTERNET_OPTION_DRAV_CA_FILE) o.caFile = text;
    else o.caFolder = text;
  });
  return TRUE;
}

}  // namespace

std::string narrow(LPCWSTR text, DWORD length) {
  if (!text) return "";
  std::size_t n = 0;
  // A stated length is a bound: the text may still end earlier at a NUL.
  while ((length == static_cast<DWORD>(-1) || n < length) && text[n] != 0) ++n;
  return drav_win32::narrow(text, n);
}

Options defaultOptions() {
  std::lock_guard<std::mutex> lock(registry().mutex);
  return registry().defaults;
}

std::unique_ptr<Engine> Connection::takeEngine() {
  {
    std::lock_guard<std::mutex> lock(poolMutex_);
    if (!idle_.empty()) {
      std::unique_ptr<Engine> engine = std::move(idle_.back());
      idle_.pop_back();
      return engine;
    }
  }
  return std::unique_ptr<Engine>(new Engine());
}

void Connection::giveBack(std::unique_ptr<Engine> engine) {
  if (!engine) return;
  std::lock_guard<std::mutex> lock(poolMutex_);
  if (idle_.size() < kMaxIdleEngines) idle_.push_back(std::move(engine));
}

Request::~Request() {
  transfer.abandon();
  connection->giveBack(std::move(engine));
}

HINTERNET registerObject(std::shared_ptr<Object> object) {
  Registry& r = registry();
  std::lock_guard<std::mutex> lock(r.mutex);
  if (r.objects.size() >= kMaxHandles) {
    SetLastError(ERROR_INTERNET_OUT_OF_HANDLES);
    return nullptr;
  }
  const std::uintptr_t value = r.next;
  r.next += 4;
  r.objects.emplace(value, std::move(object));
  return reinterpret_cast<HINTERNET>(value);
}

std::shared_ptr<Object> findObject(HINTERNET handle) {
  Registry& r = registry();
  std::lock_guard<std::mutex> lock(r.mutex);
  auto it = r.objects.find(reinterpret_cast<std::uintptr_t>(handle));
  if (it == r.objects.end()) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  return it->second;
}

std::size_t openHandleCount() {
  Registry& r = registry();
  std::lock_guard<std::mutex> lock(r.mutex);
  return r.objects.size();
}

}  // namespace drav_wininet

using namespace drav_wininet;

HINTERNET WINAPI InternetOpenW(LPCWSTR agent, DWORD accessType, LPCWSTR proxy, LPCWSTR proxyBypass, DWORD flags) {
  if (flags & (INTERNET_FLAG_ASYNC | INTERNET_FLAG_OFFLINE)) {
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return nullptr;
  }
  initialiseCurlOnce();
  std::shared_ptr<Session> session;
  try {
    session = std::make_shared<Session>(defaultOptions());
  } catch (const std::bad_alloc&) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  session->agent = narrow(agent);
  {
    std::lock_guard<std::mutex> lock(registry().mutex);
    session->httpMinorVersion = registry().httpMinorVersion;
  }
  switch (accessType) {
    case INTERNET_OPEN_TYPE_PRECONFIG:
    case INTERNET_OPEN_TYPE_PRECONFIG_WITH_NO_AUTOPROXY:
      if (const char* p = environment("http_proxy", "HTTP_PROXY")) session->httpProxy = p;
      if (const char* p = environment("https_proxy", "HTTPS_PROXY")) session->httpsProxy = p;
      if (const char* p = environment("no_proxy", "NO_PROXY")) session->noProxy = p;
      break;
    case INTERNET_OPEN_TYPE_DIRECT:
      break;
    case INTERNET_OPEN_TYPE_PROXY:
      if (!parseProxyList(narrow(proxy), *session)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
      }
      session->noProxy = bypassList(narrow(proxyBypass));
      break;
    default:
      SetLastError(ERROR_INVALID_PARAMETER);
      return nullptr;
  }
  return registerObject(session);
}

HINTERNET WINAPI InternetConnectW(HINTERNET sessionHandle, LPCWSTR serverName, INTERNET_PORT serverPort,
                                  LPCWSTR userName, LPCWSTR password, DWORD service, DWORD, DWORD_PTR) {
  std::shared_ptr<Session> session = findAs<Session>(sessionHandle, Kind::Session);
  if (!session) return nullptr;
  if (service != INTERNET_SERVICE_HTTP) {
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return nullptr;
  }
  const std::string host = narrow(serverName);
  if (host.empty() || host.find_first_of("/?#@ ") != std::string::npos) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  auto connection = std::make_shared<Connection>(session->options(), session);
  connection->host = host;
  connection->port = serverPort;
  if (userName || password) {
    connection->changeOptions([&](Options& o) {
      if (userName) o.user = narrow(userName);
      if (password) o.password = narrow(password);
    });
  }
  return registerObject(connection);
}

HINTERNET WINAPI HttpOpenRequestW(HINTERNET connectionHandle, LPCWSTR verb, LPCWSTR objectName, LPCWSTR version,
                                  LPCWSTR referrer, LPCWSTR* acceptTypes, DWORD flags, DWORD_PTR) {
  std::shared_ptr<Connection> connection = findAs<Connection>(connectionHandle, Kind::Connection);
  if (!connection) return nullptr;
  auto request = std::make_shared<Request>(connection->options(), connection);
  const std::string method = narrow(verb);
  if (method.find_first_of(" \t\r\n") != std::string::npos) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  if (!method.empty()) request->verb = method;
  const std::string object = narrow(objectName);
  if (object.find_first_of(" \r\n") != std::string::npos) {
    SetLastError(ERROR_INTERNET_INVALID_URL);
    return nullptr;
  }
  if (!object.empty()) request->object = object[0] == '/' ? object : "/" + object;
  const std::string versionText = narrow(version);
  if (versionText.empty()) request->http10 = connection->session->httpMinorVersion == 0;
  else if (versionText == "HTTP/1.0" || versionText == "HTTP/1.1") request->http10 = versionText == "HTTP/1.0";
  else {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  request->flags = flags;
  if (referrer && referrer[0]) request->headers.emplace_back("Referer", narrow(referrer));
  if (acceptTypes) {
    std::string accept;
    for (std::size_t i = 0; acceptTypes[i] && i < 64; ++i) accept += (accept.empty() ? "" : ", ") + narrow(acceptTypes[i]);
    if (!accept.empty()) request->headers.emplace_back("Accept", accept);
  }
  request->changeOptions([flags](Options& o) {
    if (flags & INTERNET_FLAG_IGNORE_CERT_CN_INVALID) o.securityFlags |= SECURITY_FLAG_IGNORE_CERT_CN_INVALID;
    if (flags & INTERNET_FLAG_IGNORE_CERT_DATE_INVALID) o.securityFlags |= SECURITY_FLAG_IGNORE_CERT_DATE_INVALID;
  });
  return registerObject(request);
}

BOOL WINAPI InternetCloseHandle(HINTERNET handle) {
  std::shared_ptr<Object> object;
  {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    auto it = r.objects.find(reinterpret_cast<std::uintptr_t>(handle));
    if (it == r.objects.end()) {
      SetLastError(ERROR_INVALID_HANDLE);
      return FALSE;
    }
    object = std::move(it->second);
    r.objects.erase(it);
  }
  object->closing();
  return TRUE;  // the object goes when the last call still using it returns
}

DWORD WINAPI InternetAttemptConnect(DWORD) { return ERROR_SUCCESS; }

BOOL WINAPI InternetSetOptionW(HINTERNET handle, DWORD option, LPVOID buffer, DWORD bufferLength) {
  switch (option) {
    case INTERNET_OPTION_HTTP_VERSION: {
      if (!buffer) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
      }
      if (bufferLength < sizeof(HTTP_VERSION_INFO)) {
        SetLastError(ERROR_INTERNET_BAD_OPTION_LENGTH);
        return FALSE;
      }
      HTTP_VERSION_INFO version;
      std::memcpy(&version, buffer, sizeof version);
      if (version.dwMajorVersion != 1 || version.dwMinorVersion > 1) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
      }
      if (!handle) {
        std::lock_guard<std::mutex> lock(registry().mutex);
        registry().httpMinorVersion = version.dwMinorVersion;
        return TRUE;
      }
      std::shared_ptr<Session> session = findAs<Session>(handle, Kind::Session);
      if (!session) return FALSE;
      session->httpMinorVersion = version.dwMinorVersion;
      return TRUE;
    }
    case INTERNET_OPTION_CONNECT_TIMEOUT:
    case INTERNET_OPTION_SEND_TIMEOUT:
    case INTERNET_OPTION_RECEIVE_TIMEOUT:
    case INTERNET_OPTION_DATA_SEND_TIMEOUT:
    case INTERNET_OPTION_DATA_RECEIVE_TIMEOUT: {
      DWORD value = 0;
      if (!readDword(buffer, bufferLength, value)) return FALSE;
      return setTimeout(handle, option, value);
    }
    case INTERNET_OPTION_USERNAME:
    case INTERNET_OPTION_PASSWORD:
    case INTERNET_OPTION_PROXY_USERNAME:
    case INTERNET_OPTION_PROXY_PASSWORD:
    case INTERNET_OPTION_DRAV_CA_FILE:
    case INTERNET_OPTION_DRAV_CA_FOLDER:
      return setText(handle, option, buffer, bufferLength);
    case INTERNET_OPTION_SECURITY_FLAGS: {
      std::shared_ptr<Request> request = findAs<Request>(handle, Kind::Request);
      if (!handle) SetLastError(ERROR_INTERNET_INCORRECT_HANDLE_TYPE);
      DWORD value = 0;
      if (!request || !readDword(buffer, bufferLength, value)) return FALSE;
      request->changeOptions([value](Options& o) { o.securityFlags = value; });
      return TRUE;
    }
    default:
      SetLastError(ERROR_INTERNET_INVALID_OPTION);
      return FALSE;
  }
}

namespace {
// The TLS defect of a request's last failed send, as wide text with its NUL.
BOOL queryTlsFault(HINTERNET handle, LPVOID buffer, LPDWORD bufferLength) {
  std::shared_ptr<Request> request = findAs<Request>(handle, Kind::Request);
  if (!request) return FALSE;
  if (!bufferLength) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const std::string& fault = request->transfer.tlsFault();
  if (fault.empty()) {
    SetLastError(ERROR_INTERNET_INVALID_OPTION);
    return FALSE;
  }
  const std::basic_string<WCHAR> wide = drav_win32::widen(fault.data(), fault.size());
  const DWORD needed = static_cast<DWORD>((wide.size() + 1) * sizeof(WCHAR));
  if (!buffer || *bufferLength < needed) {
    *bufferLength = needed;
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  std::memcpy(buffer, wide.c_str(), needed);
  *bufferLength = needed - sizeof(WCHAR);
  return TRUE;
}
}  // namespace

BOOL WINAPI InternetQueryOptionW(HINTERNET handle, DWORD option, LPVOID buffer, LPDWORD bufferLength) {
  if (option == INTERNET_OPTION_DRAV_TLS_FAULT) return queryTlsFault(handle, buffer, bufferLength);
  if (option != INTERNET_OPTION_CONNECT_TIMEOUT && option != INTERNET_OPTION_SEND_TIMEOUT &&
      option != INTERNET_OPTION_RECEIVE_TIMEOUT) {
    SetLastError(ERROR_INTERNET_INVALID_OPTION);
    return FALSE;
  }
  if (!bufferLength) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  Options o;
  if (handle) {
    std::shared_ptr<Object> object = findObject(handle);
    if (!object) return FALSE;
    o = object->options();
  } else {
    o = defaultOptions();
  }
  if (!buffer || *bufferLength < sizeof(DWORD)) {
    *bufferLength = sizeof(DWORD);
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  const DWORD value = option == INTERNET_OPTION_CONNECT_TIMEOUT ? o.connectTimeoutMs
                      : option == INTERNET_OPTION_SEND_TIMEOUT  ? o.sendTimeoutMs
                                                                : o.receiveTimeoutMs;
  std::memcpy(buffer, &value, sizeof value);
  *bufferLength = sizeof value;
  return TRUE;
}
