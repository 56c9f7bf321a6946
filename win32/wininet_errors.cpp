#include <win32/wininet_errors.h>

#include <win32/wininet.h>

#include <cerrno>
#include <cstring>

namespace drav_wininet {
namespace {

// The peer dropped the connection: a reset, or a broken pipe while sending.
bool peerReset(CURL* easy) {
  long osError = 0;
  curl_easy_getinfo(easy, CURLINFO_OS_ERRNO, &osError);
  return osError == ECONNRESET || osError == EPIPE;
}

bool mentions(const char* text, const char* what) { return text && std::strstr(text, what) != nullptr; }

DWORD certificateError(CURL* easy, const char* errorText) {
  long verify = 0;
  curl_easy_getinfo(easy, CURLINFO_SSL_VERIFYRESULT, &verify);
  // OpenSSL's X509_V_ERR_CERT_NOT_YET_VALID and X509_V_ERR_CERT_HAS_EXPIRED.
  if (verify == 9 || verify == 10) return ERROR_INTERNET_SEC_CERT_DATE_INVALID;
  // X509_V_ERR_CA_MD_TOO_WEAK: a signature made with too weak a digest.
  if (verify == 68) return ERROR_INTERNET_SEC_CERT_WEAK_SIGNATURE;
  // X509_V_ERR_INVALID_PURPOSE, X509_V_ERR_EE_KEY_TOO_SMALL, X509_V_ERR_CA_KEY_TOO_SMALL:
  // a certificate that is not fit for this use, whoever issued it.
  if (verify == 26 || verify == 66 || verify == 67) return ERROR_INTERNET_SEC_INVALID_CERT;
  // The chain checked out, so it was the name (checked by libcurl itself).
  if (verify == 0 || mentions(errorText, "subject name")) return ERROR_INTERNET_SEC_CERT_CN_INVALID;
  return ERROR_INTERNET_INVALID_CA;
}

}  // namespace

std::string tlsFault(CURLcode code, long verifyError, bool nulInName, const char* errorText) {
  if (code == CURLE_PEER_FAILED_VERIFICATION) {
    if (nulInName) return "a name in the certificate holds a NUL byte (a forged name)";
    switch (verifyError) {
      case 66: return "the certificate's key is too weak (key too small)";
      case 67: return "the key of the certificate's authority is too weak (key too small)";
      case 68: return "the certificate is signed with too weak a digest (digest too weak: SHA-1 or older)";
      case 26: return "the certificate is not for a server (unsuitable purpose)";
      default: return "";
    }
  }
  if (code != CURLE_SSL_CONNECT_ERROR && code != CURLE_SSL_CIPHER) return "";
  if (mentions(errorText, "wrong version number") || mentions(errorText, "packet length too long"))
    return "the server does not speak TLS (https to a plain http port?)";
  if (mentions(errorText, "SSL_ERROR_SYSCALL"))
    return "the server ended the connection in the handshake (https to a plain http port?)";
  if (mentions(errorText, "protocol version") || mentions(errorText, "unsupported protocol") ||
      mentions(errorText, "legacy sigalg"))
    return "the server offers only a protocol version this client refuses (protocol version: TLS 1.1 or older)";
  if (mentions(errorText, "no shared cipher") || mentions(errorText, "alert handshake failure") ||
      mentions(errorText, "no cipher"))
    return "the server and this client have no cipher in common (no shared cipher)";
  return "";
}

DWORD errorOfLostRequest(CURL* easy) {
  return easy && peerReset(easy) ? ERROR_INTERNET_CONNECTION_RESET : ERROR_INTERNET_CONNECTION_ABORTED;
}

DWORD errorFromCurl(CURLcode code, CURL* easy, const char* errorText, bool certificateRequested) {
  // A server that demands a client certificate ends the handshake (or, with
  // TLS 1.3, the first read after it) with one of these alerts; up to TLS 1.2
  // the alert is a plain handshake failure, which says so only after the
  // server asked for a certificate. Anything else (a reset, say) is itself,
  // also from a server that asked: it may go on without one.
  if (mentions(errorText, "alert certificate required") || mentions(errorText, "alert bad certificate") ||
      (certificateRequested && mentions(errorText, "alert handshake failure")))
    return ERROR_INTERNET_CLIENT_AUTH_CERT_NEEDED;
  switch (code) {
    case CURLE_OK: return ERROR_SUCCESS;
    case CURLE_UNSUPPORTED_PROTOCOL: return ERROR_INTERNET_UNRECOGNIZED_SCHEME;
    case CURLE_URL_MALFORMAT: return ERROR_INTERNET_INVALID_URL;
    case CURLE_COULDNT_RESOLVE_PROXY:
    case CURLE_COULDNT_RESOLVE_HOST: return ERROR_INTERNET_NAME_NOT_RESOLVED;
    case CURLE_COULDNT_CONNECT: return ERROR_INTERNET_CANNOT_CONNECT;
    case CURLE_OPERATION_TIMEDOUT: return ERROR_INTERNET_TIMEOUT;
    case CURLE_OUT_OF_MEMORY: return ERROR_NOT_ENOUGH_MEMORY;
    case CURLE_ABORTED_BY_CALLBACK: return ERROR_INTERNET_OPERATION_CANCELLED;
    // The body cannot be sent again from the start: the caller must resend.
    case CURLE_SEND_FAIL_REWIND: return ERROR_INTERNET_FORCE_RETRY;
    case CURLE_PEER_FAILED_VERIFICATION: return certificateError(easy, errorText);
    case CURLE_SSL_CERTPROBLEM: return ERROR_INTERNET_CLIENT_AUTH_CERT_NEEDED;
    // The authorities to trust (a CA file) could not be read.
    case CURLE_SSL_CACERT_BADFILE: return ERROR_INTERNET_SEC_CERT_ERRORS;
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_ENGINE_INITFAILED: return ERROR_INTERNET_SECURITY_CHANNEL_ERROR;
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR: return peerReset(easy) ? ERROR_INTERNET_CONNECTION_RESET : ERROR_INTERNET_CONNECTION_ABORTED;
    case CURLE_PARTIAL_FILE: return ERROR_INTERNET_CONNECTION_ABORTED;
    case CURLE_GOT_NOTHING:
    case CURLE_WEIRD_SERVER_REPLY:
    case CURLE_HTTP2:
    case CURLE_BAD_CONTENT_ENCODING: return ERROR_HTTP_INVALID_SERVER_RESPONSE;
    case CURLE_RECURSIVE_API_CALL:
    default: return ERROR_INTERNET_INTERNAL_ERROR;
  }
}

}  // namespace drav_wininet
