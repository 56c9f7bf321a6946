#include <drav/config/auth_info.h>

#include <drav/config/credentials.h>

AuthInfo& AuthInfo::user(const std::string& user) {
  user_ = user;
  return *this;
}

AuthInfo& AuthInfo::pass(const std::string& pass) {
  pass_ = pass;
  return *this;
}

AuthInfo& AuthInfo::proxyUser(const std::string& user) {
  proxyUser_ = user;
  return *this;
}

AuthInfo& AuthInfo::proxyPass(const std::string& pass) {
  proxyPass_ = pass;
  return *this;
}

AuthInfo& AuthInfo::tls(const TlsPolicy& policy) {
  tls_ = policy;
  return *this;
}

AuthInfo& AuthInfo::mode(AuthMode mode) {
  mode_ = mode;
  return *this;
}

AuthInfo& AuthInfo::proxyMode(AuthMode mode) {
  proxyMode_ = mode;
  return *this;
}

AuthInfo& AuthInfo::ssoProvider(const std::string& name) {
  ssoProvider_ = name;
  return *this;
}

AuthInfo& AuthInfo::signOn(const std::string& user, const std::string& pass) {
  signOnUser_ = user;
  signOnPass_ = pass;
  return *this;
}

std::string AuthInfo::toString() const { return mode_ == AuthBasic ? "Basic" : ""; }

std::string AuthInfo::toProxyString() const { return proxyMode_ == AuthBasic ? "Basic" : ""; }

std::string AuthInfo::credentials() const {
  return mode_ == AuthBasic ? Base64Credentials(user_, pass_).getCredentials() : std::string();
}

std::string AuthInfo::proxyCredentials() const {
  return proxyMode_ == AuthBasic ? Base64Credentials(proxyUser_, proxyPass_).getCredentials() : std::string();
}
