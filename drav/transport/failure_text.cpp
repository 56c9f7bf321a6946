#include <drav/transport/failure_text.h>

#include <drav/common/log_field.h>
#include <drav/platform/glossa.h>
#include <drav/transport/delivery.h>
#include <drav/transport/transport_errors.h>
#include <drav/transport/wininet_text.h>

#include <cstdio>

namespace DRAV {
namespace detail {
namespace {

std::string seconds(unsigned long ms) {
  char text[32];
  if (ms % 1000 == 0) std::snprintf(text, sizeof text, "%lu s", ms / 1000);
  else std::snprintf(text, sizeof text, "%.1f s", ms / 1000.0);
  return text;
}

}  // namespace

std::string failureReason(unsigned long code, unsigned long timeoutMs) {
  switch (code) {
    case ERROR_INTERNET_CANNOT_CONNECT: return "connection refused (is the host listening on that port?)";
    case ERROR_INTERNET_NAME_NOT_RESOLVED: return "name not resolved";
    case ERROR_INTERNET_TIMEOUT: return "timed out after " + seconds(timeoutMs);
    case ERROR_INTERNET_CONNECTION_RESET: return "connection reset by the server";
    case ERROR_INTERNET_CONNECTION_ABORTED: return "connection closed by the server";
    case ERROR_INTERNET_FORCE_RETRY: return "the server asked for the request again and again";
    case ERROR_INTERNET_INVALID_URL: return "invalid URL (the port must be 1 to 65535)";
    case ERROR_INTERNET_UNRECOGNIZED_SCHEME: return "unsupported scheme (http or https)";
    case ERROR_HTTP_INVALID_SERVER_RESPONSE: return "no valid HTTP answer (http to an https port?)";
    case ERROR_INTERNET_INVALID_CA:
      return "TLS: certificate not trusted (self-signed or from an unknown authority; "
             "trust its authority with -DRAVssl_ca_file)";
    case ERROR_INTERNET_SEC_CERT_CN_INVALID: return "TLS: certificate name mismatch (it is not for this host)";
    case ERROR_INTERNET_SEC_CERT_DATE_INVALID: return "TLS: certificate expired or not yet valid";
    case ERROR_INTERNET_SEC_CERT_WEAK_SIGNATURE: return "TLS: certificate signed with too weak a digest";
    case ERROR_INTERNET_SEC_INVALID_CERT: return "TLS: certificate not valid for this use (its key, purpose or form)";
    case ERROR_INTERNET_SEC_CERT_REV_FAILED: return "TLS: certificate revocation could not be checked";
    case ERROR_INTERNET_SEC_CERT_ERRORS: return "TLS: the trusted authorities could not be read (-DRAVssl_ca_file?)";
    case ERROR_INTERNET_CLIENT_AUTH_CERT_NEEDED: return "TLS: the server demands a client certificate";
    case ERROR_INTERNET_SECURITY_CHANNEL_ERROR: return "TLS: handshake failed";
    case ERROR_INTERNET_OPERATION_CANCELLED: return "cancelled";
    case ERROR_INVALID_HANDLE: return "no connection could be opened (check the URL's host and port)";
    case HTTP_STATUS_DENIED: return "the server refused the credentials (HTTP 401)";
    case HTTP_STATUS_PROXY_AUTH_REQ: return "the proxy refused the credentials (HTTP 407)";
    case HTTP_STATUS_MOVED: return "the server keeps redirecting (HTTP 301)";
    default: return "WinINet error " + std::to_string(code);
  }
}

std::string endpointText(const Url& url) {
  // The host may come from a server (a download URL it handed out).
  const std::string host = escapeLogField(url.host());
  const std::string where = host.find(':') != std::string::npos ? "[" + host + "]" : host;
  return where + ":" + std::to_string(url.port());
}

void refuseUnknownScheme(const Url& url, std::string* failure) {
  if (url.scheme() == "http" || url.scheme() == "https") return;
  const std::string line = endpointText(url) + ": unsupported scheme \"" + escapeLogField(url.scheme(), 32) +
                           "\" (http or https): nothing was sent";
  if (failure) *failure = line;
  throw HttpPostDataException(ERROR_INTERNET_UNRECOGNIZED_SCHEME, line);
}

namespace {
// The TLS defect the WinINet layer names, where it names one (ours does;
// Windows' says only the code).
std::string tlsFaultOf(HINTERNET handle) {
  WCHAR text[256];
  DWORD size = sizeof text;
  if (!handle || !InternetQueryOptionW(handle, INTERNET_OPTION_DRAV_TLS_FAULT, text, &size)) return "";
  return escapeShownText(Glossa::utf16ToUtf8(reinterpret_cast<const unsigned short*>(text), size / sizeof(WCHAR)), 200);
}
}  // namespace

std::string failureLine(const Url& url, unsigned long code, HINTERNET handle, const TlsPolicy* tls) {
  DWORD timeout = kTransportTimeoutMs, size = sizeof timeout;
  if (!handle || !InternetQueryOptionW(handle, INTERNET_OPTION_RECEIVE_TIMEOUT, &timeout, &size))
    timeout = kTransportTimeoutMs;
  const std::string fault = tlsFaultOf(handle);
  if (!fault.empty()) return endpointText(url) + ": TLS: " + fault;
  if (code == ERROR_INTERNET_SEC_CERT_ERRORS && tls && (!tls->caFile.empty() || !tls->caFolder.empty())) {
    const std::string tried = !tls->caFile.empty() ? "the file " + escapeShownText(tls->caFile, 200)
                                                   : "the folder " + escapeShownText(tls->caFolder, 200);
    return endpointText(url) + ": TLS: the trusted authorities could not be read from " + tried +
           " (-DRAVssl_ca_file, -DRAVssl_ca_folder)";
  }
  return endpointText(url) + ": " + failureReason(code, timeout);
}

}  // namespace detail
}  // namespace DRAV
