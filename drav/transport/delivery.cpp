#include <drav/transport/delivery.h>

namespace DRAV {
namespace detail {

bool isUntrustedCertificate(unsigned long code) {
  return code == ERROR_INTERNET_INVALID_CA || code == ERROR_INTERNET_SEC_CERT_CN_INVALID ||
         code == ERROR_INTERNET_SEC_CERT_DATE_INVALID || code == ERROR_INTERNET_SEC_CERT_WEAK_SIGNATURE ||
         code == ERROR_INTERNET_SEC_INVALID_CERT;
}

Delivery deliveryOf(unsigned long code, bool answered) {
  if (isUntrustedCertificate(code)) return Delivery::Refused;
  switch (code) {
    case ERROR_INTERNET_CANNOT_CONNECT:
    case ERROR_INTERNET_NAME_NOT_RESOLVED: return Delivery::NotSent;
    // The handshake comes before the request: it failed, nothing went out.
    case ERROR_INTERNET_SECURITY_CHANNEL_ERROR:
    case ERROR_INTERNET_SEC_CERT_ERRORS:
    case ERROR_INTERNET_SEC_CERT_REV_FAILED:
    case ERROR_INTERNET_CLIENT_AUTH_CERT_NEEDED:
    case ERROR_INTERNET_INVALID_URL:
    case ERROR_INTERNET_UNRECOGNIZED_SCHEME:
    case ERROR_INVALID_HANDLE:
    case ERROR_INTERNET_INCORRECT_HANDLE_TYPE: return Delivery::Refused;
    case HTTP_STATUS_DENIED:
    case HTTP_STATUS_PROXY_AUTH_REQ:
    case HTTP_STATUS_MOVED: return Delivery::Answered;
    case ERROR_INTERNET_FORCE_RETRY: return answered ? Delivery::Answered : Delivery::MayHaveRun;
    default: return Delivery::MayHaveRun;
  }
}

}  // namespace detail
}  // namespace DRAV
