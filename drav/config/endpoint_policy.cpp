#include <drav/config/endpoint_policy.h>

#include <drav/common/wire_width.h>
#include <drav/config/client_core.h>

std::string DRAVEndPoint::getLookupUrl() const {
  if (kind == DIRECT_URL) return baseUrl;
  std::string url = baseUrl;
  if (!url.empty() && url.back() != '/') url += '/';
  if (kind == SERVICE_PORT_WSDL)
    url.append("services/").append(serviceName).append("SoapPort?wsdl");
  else if (kind == WSDL_FILE)
    url.append(serviceName).append(".wsdl");
  return url;
}

DRAVLookupPolicy::DRAVLookupPolicy() {
  const DRAVClientCore& core = DRAVClientCore::instance();
  requestTimeout_ = static_cast<std::uint32_t>(core.getRequestTimeout());
  connectionTimeout_ = static_cast<std::uint32_t>(core.getConnectionTimeout());
  authenticationInfo_ = core.getAuthenticationInfo();
  proxyInfo_ = core.getHttpProxyInfo();
}

DRAVLookupPolicy& DRAVLookupPolicy::setURL(const std::string& url) {
  url_ = url;
  return *this;
}

DRAVLookupPolicy& DRAVLookupPolicy::setRootURL(const std::string& url) {
  rootUrl_ = url;
  return *this;
}

DRAVLookupPolicy& DRAVLookupPolicy::setHTTPChunkMode(bool chunked) {
  chunked_ = chunked;
  return *this;
}

DRAVLookupPolicy& DRAVLookupPolicy::setRequestTimeout(unsigned long ms) {
  requestTimeout_ = DRAV::detail::toWireULong(ms, "request timeout");
  return *this;
}

DRAVLookupPolicy& DRAVLookupPolicy::setConnectionTimeout(unsigned long ms) {
  connectionTimeout_ = DRAV::detail::toWireULong(ms, "connection timeout");
  return *this;
}

void DRAVLookupPolicy::setCookies(const std::string& cookies) { cookies_ = cookies; }

AuthInfo DRAVLookupPolicy::getAuthInfo() const {
  AuthInfo info;
  info.user(authenticationInfo_.getHttpUserName()).pass(authenticationInfo_.getHttpUserPassword());
  switch (authenticationInfo_.getHttpAuthenticationMode()) {
    case DRAVAuthenticationInfo::HTTP_AUTH_BASIC: info.mode(AuthInfo::AuthBasic); break;
    case DRAVAuthenticationInfo::HTTP_AUTH_NTLM: info.mode(AuthInfo::AuthNtlm); break;
    default: break;
  }
  if (!proxyInfo_.getUserName().empty())
    info.proxyUser(proxyInfo_.getUserName()).proxyPass(proxyInfo_.getUserPassword()).proxyMode(AuthInfo::AuthBasic);
  return info;
}

DRAVLookupPolicy& DRAVLookupPolicy::setEndPoint(const DRAVEndPoint& endPoint) {
  url_ = endPoint.getLookupUrl();
  return *this;
}

bool DRAVLookupPolicy::isScheme(tag_HttpScheme scheme) const {
  switch (scheme) {
    case HTTP_SCHEME:
      return url_.compare(0, 4, "http") == 0 || url_.compare(0, 4, "HTTP") == 0;
    case HTTPS_SCHEME:
      return url_.compare(0, 5, "https") == 0 || url_.compare(0, 5, "HTTPS") == 0;
  }
  return false;
}
