#include <drav/config/auth_settings.h>

#include <drav/config/credentials.h>

#include <utility>

DRAVAuthenticationInfo& DRAVAuthenticationInfo::setHttpUserName(const std::string& name) {
  userName_ = name;
  return *this;
}

DRAVAuthenticationInfo& DRAVAuthenticationInfo::setHttpUserPasword(const std::string& password) {
  userPassword_ = password;
  return *this;
}

DRAVAuthenticationInfo& DRAVAuthenticationInfo::setHttpAuthenticationMode(HTTP_AUTHENTICATION_MODE mode) {
  authMode_ = mode;
  return *this;
}

DRAVAuthenticationInfo& DRAVAuthenticationInfo::setSslMode(SSL_MODE mode) {
  sslMode_ = mode;
  return *this;
}

DRAVAuthenticationInfo& DRAVAuthenticationInfo::setPrivateKey(const std::string& path) {
  privateKey_ = path;
  return *this;
}

DRAVAuthenticationInfo& DRAVAuthenticationInfo::setTlsPolicy(const TlsPolicy& policy) {
  tls_ = policy;
  return *this;
}

DRAVAuthenticationInfo& DRAVAuthenticationInfo::setClientCertificate(const std::string& path) {
  clientCertificate_ = path;
  return *this;
}

void DRAVAuthenticationInfo::setSsoProvider(std::string name) { ssoProvider_ = std::move(name); }

void DRAVAuthenticationInfo::enableSsoBootstrap(bool enable) { ssoBootstrap_ = enable; }

DRAVAuthenticationInfo& DRAVAuthenticationInfo::setHttpAuthorizationToken(const std::string& token) {
  const HttpAuthorizationToken parsed(token);
  userName_ = parsed.getCredentials().getUser();
  userPassword_ = parsed.getCredentials().getPassword();
  if (parsed.getAuthMode() == "Basic" || parsed.getAuthMode() == "basic") authMode_ = HTTP_AUTH_BASIC;
  return *this;
}

std::string DRAVAuthenticationInfo::getHttpUserCredentials() const {
  return Base64Credentials(userName_, userPassword_).getCredentials();
}

DRAVAuthenticationInfo::HTTP_AUTHENTICATION_MODE DRAVAuthenticationInfo::string2AuthMode(
    const std::string& text) {
  if (text == "basic") return HTTP_AUTH_BASIC;
  if (text == "ntlm") return HTTP_AUTH_NTLM;
  return HTTP_AUTH_NONE;
}

DRAVAuthenticationInfo::SSL_MODE DRAVAuthenticationInfo::string2SslMode(const std::string& text) {
  return text == "ssl" ? SSL_ENABLED : SSL_NONE;
}

DRAVHttpProxyInfo::DRAVHttpProxyInfo(bool, const std::string& host, const std::string& port,
                                     const std::string& userName, const std::string& userPassword)
    : host_(host), port_(port), userName_(userName), userPassword_(userPassword) {}

DRAVHttpProxyInfo& DRAVHttpProxyInfo::setProxyHost(const std::string& host) {
  host_ = host;
  return *this;
}

DRAVHttpProxyInfo& DRAVHttpProxyInfo::setProxyPort(const std::string& port) {
  port_ = port;
  return *this;
}

DRAVHttpProxyInfo& DRAVHttpProxyInfo::setUserName(const std::string& name) {
  userName_ = name;
  return *this;
}

DRAVHttpProxyInfo& DRAVHttpProxyInfo::setUserPassword(const std::string& password) {
  userPassword_ = password;
  return *this;
}

DRAVHttpProxyInfo& DRAVHttpProxyInfo::setUserCredentials(const std::string& credentials) {
  const Base64Credentials parsed(credentials);
  userName_ = parsed.getUser();
  userPassword_ = parsed.getPassword();
  return *this;
}

std::string DRAVHttpProxyInfo::getUserCredentials() const {
  return Base64Credentials(userName_, userPassword_).getCredentials();
}

std::string DRAVHttpProxyInfo::getUrl() const {
  if (host_.empty()) return std::string();
  std::string url = "http://" + host_;
  if (!port_.empty()) url.append(1, ':').append(port_);
  return url;
}
