// The exported settings records for how a client authenticates to a server
// (DRAVAuthenticationInfo) and how it reaches it through an HTTP proxy
// (DRAVHttpProxyInfo). The client core holds the defaults filled from the
// "-DRAV..." options; each lookup policy starts with copies. Plain values:
// nothing here connects, validates or throws. The transport itself works
// from AuthInfo (auth_info.h).
#pragma once

#include <drav/config/tls_policy.h>
#include <drav/export.h>

#include <string>

// How a client authenticates to a server: sign-on provider, client certificate, TLS policy.
class DRAV_EXPORT DRAVAuthenticationInfo {
public:
  enum HTTP_AUTHENTICATION_MODE { HTTP_AUTH_NONE = 0, HTTP_AUTH_BASIC = 1, HTTP_AUTH_NTLM = 2 };
  enum SSL_MODE { SSL_NONE = 0, SSL_ENABLED = 1 };

  // Setters return the object unless noted; string getters return copies
  // (getSsoProvider a reference valid until the next change).
  DRAVAuthenticationInfo& setHttpUserName(const std::string& name);
  std::string getHttpUserName() const { return userName_; }
  DRAVAuthenticationInfo& setHttpUserPasword(const std::string& password);  // one "s", as published
  std::string getHttpUserPassword() const { return userPassword_; }
  DRAVAuthenticationInfo& setHttpAuthenticationMode(HTTP_AUTHENTICATION_MODE mode);
  HTTP_AUTHENTICATION_MODE getHttpAuthenticationMode() const { return authMode_; }
  DRAVAuthenticationInfo& setSslMode(SSL_MODE mode);
  SSL_MODE getSslMode() const { return sslMode_; }
  DRAVAuthenticationInfo& setPrivateKey(const std::string& path);
  std::string getPrivateKey() const { return privateKey_; }
  DRAVAuthenticationInfo& setClientCertificate(const std::string& path);
  std::string getClientCertificate() const { return clientCertificate_; }
  // How https servers are verified ("-DRAVssl_ca_file", "-DRAVssl_ca_folder",
  // "-DRAVssl_verify"); the transport applies it beneath each proxy's own.
  DRAVAuthenticationInfo& setTlsPolicy(const TlsPolicy& policy);
  const TlsPolicy& getTlsPolicy() const { return tls_; }  // valid until the next change
  void setSsoProvider(std::string name);
  const std::string& getSsoProvider() const { return ssoProvider_; }
  void enableSsoBootstrap(bool enable);  // kept for callers; nothing in the library reads it
  bool isSsoBootstrapEnabled() const { return ssoBootstrap_; }

  // Takes an Authorization header value ("Basic dTpw"): user name and
  // password become the decoded ones whatever the scheme word (both empty
  // when the text has no space); the mode becomes HTTP_AUTH_BASIC only for
  // the scheme word "Basic" or "basic".
  DRAVAuthenticationInfo& setHttpAuthorizationToken(const std::string& token);
  // Base64 of user ":" password, whatever the mode.
  std::string getHttpUserCredentials() const;

  // Exact, case-sensitive: "none", "basic", "ntlm"; anything else is none.
  static HTTP_AUTHENTICATION_MODE string2AuthMode(const std::string& text);
  // "ssl" is SSL_ENABLED; anything else is SSL_NONE.
  static SSL_MODE string2SslMode(const std::string& text);

private:
  std::string userName_;
  std::string userPassword_;
  HTTP_AUTHENTICATION_MODE authMode_ = HTTP_AUTH_NONE;
  SSL_MODE sslMode_ = SSL_NONE;
  std::string ssoProvider_;
  std::string privateKey_;
  std::string clientCertificate_;
  bool ssoBootstrap_ = false;
  TlsPolicy tls_;
};

// The HTTP proxy a client goes through, and the credentials it sends there.
class DRAV_EXPORT DRAVHttpProxyInfo {
public:
  DRAVHttpProxyInfo() = default;  // every field empty
  // The leading flag is accepted for callers and not stored.
  DRAVHttpProxyInfo(bool, const std::string& host, const std::string& port, const std::string& userName,
                    const std::string& userPassword);

  // Setters return the object; getters return copies.
  DRAVHttpProxyInfo& setProxyHost(const std::string& host);
  std::string getProxyHost() const { return host_; }
  DRAVHttpProxyInfo& setProxyPort(const std::string& port);  // kept as text
  std::string getProxyPort() const { return port_; }
  DRAVHttpProxyInfo& setUserName(const std::string& name);
  std::string getUserName() const { return userName_; }
  DRAVHttpProxyInfo& setUserPassword(const std::string& password);
  std::string getUserPassword() const { return userPassword_; }

  // User name and password from Basic credentials (the password is empty
  // when the decoded text has no ":").
  DRAVHttpProxyInfo& setUserCredentials(const std::string& credentials);
  std::string getUserCredentials() const;  // Base64 of user ":" password

  // "http://" host [":" port]; "" without a host. Never carries credentials.
  std::string getUrl() const;

private:
  std::string host_;
  std::string port_;
  std::string userName_;
  std::string userPassword_;
};
