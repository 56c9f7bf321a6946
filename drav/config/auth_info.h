// AuthInfo: the credentials a bridge proxy is built with (server and proxy
// user names, passwords and how each is sent) and the name of a
// single-sign-on provider. A plain value; it sends and checks nothing.
//
// The transport asks needAuth() then mode(): AuthBasic sends
// "Authorization: Basic " + credentials(), AuthNtlm hands user() and pass()
// to WinINet. needProxyAuth() decides whether proxyUser()/proxyPass() are
// handed to WinINet's proxy options. tls() is how the certificate of an
// https bridge is checked (verified against the system's authorities by
// default).
#pragma once

#include <drav/config/tls_policy.h>
#include <drav/export.h>

#include <string>

class DRAV_EXPORT AuthInfo {
public:
  enum AuthMode { AuthNone = 0, AuthBasic = 1, AuthNtlm = 2 };

  // Setters return the object for chaining.
  AuthInfo& user(const std::string& user);
  AuthInfo& pass(const std::string& pass);
  AuthInfo& proxyUser(const std::string& user);
  AuthInfo& proxyPass(const std::string& pass);
  AuthInfo& mode(AuthMode mode);
  AuthInfo& proxyMode(AuthMode mode);
  AuthInfo& ssoProvider(const std::string& name);  // empty: no single sign-on
  // The sign-on's own user and password, for a bridge whose calls need
  // credentials of their own as well (a host with both [sso] and
  // [basic_auth]): user() and pass() then go on the calls. Without them the
  // sign-on takes user() and pass(), which then go to the logon only.
  AuthInfo& signOn(const std::string& user, const std::string& pass);
  AuthInfo& tls(const TlsPolicy& policy);

  const std::string& user() const { return user_; }  // valid until the next change
  const std::string& pass() const { return pass_; }
  const std::string& proxyUser() const { return proxyUser_; }
  const std::string& proxyPass() const { return proxyPass_; }
  AuthMode mode() const { return mode_; }
  AuthMode proxyMode() const { return proxyMode_; }
  const std::string& ssoProvider() const { return ssoProvider_; }
  const std::string& signOnUser() const { return signOnUser_; }
  const std::string& signOnPass() const { return signOnPass_; }
  // Whether user() and pass() serve the sign-on alone: a provider is named
  // and has no credentials of its own. They then never go on a call.
  bool signOnOnly() const { return !ssoProvider_.empty() && signOnUser_.empty(); }
  // This proxy's policy; the "-DRAVssl_..." options fill in what it leaves
  // open (TlsPolicy::over). Valid until the next change.
  const TlsPolicy& tls() const { return tls_; }

  bool needAuth() const { return mode_ != AuthNone && !user_.empty(); }
  bool needProxyAuth() const { return proxyMode_ != AuthNone && !proxyUser_.empty(); }
  // "Basic" for AuthBasic, else "" (the server side; toProxyString the proxy side).
  std::string toString() const;
  std::string toProxyString() const;
  // Base64 of user ":" pass when mode() is AuthBasic, else "".
  std::string credentials() const;
  // Base64 of proxyUser ":" proxyPass when proxyMode() is AuthBasic, else "".
  std::string proxyCredentials() const;

private:
  std::string user_;
  std::string pass_;
  std::string proxyUser_;
  std::string proxyPass_;
  AuthMode mode_ = AuthNone;
  AuthMode proxyMode_ = AuthNone;
  std::string ssoProvider_;
  std::string signOnUser_;
  std::string signOnPass_;
  TlsPolicy tls_;
};
