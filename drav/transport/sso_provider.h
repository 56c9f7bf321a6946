// Single sign-on: DRAVSsoProvider, made by DRAVBridgeProxy::init() from the
// provider name in the credentials, runs once before the proxy's first call
// and leaves the proxy's cookie string carrying the session cookie of the
// sign-on product. SiteMinder is the one provider: it logs on with a GET to
// the proxy's root URL ("SMCHALLENGE=YES" cookie, Basic credentials) and
// copies the cookies the server set, SMSESSION among them, into the proxy.
// A session that expires later is not renewed.
#pragma once

#include <drav/export.h>

#include <atomic>
#include <memory>
#include <string>

class DRAVBridgeProxy;

// The user name and password a sign-on provider logs on with.
class DRAV_EXPORT DRAVSsoUserInfo {
public:
  DRAVSsoUserInfo() = default;
  const std::string& name() const { return name_; }  // valid until the next change
  void name(const std::string& name) { name_ = name; }
  const std::string& pass() const { return pass_; }
  void pass(const std::string& pass) { pass_ = pass; }

private:
  std::string name_;
  std::string pass_;
};

// A single-sign-on provider: logs a proxy on once, before its first call.
class DRAV_EXPORT DRAVSsoProvider {
public:
  explicit DRAVSsoProvider(const std::string& name) : name_(name) {}
  virtual ~DRAVSsoProvider();
  DRAVSsoProvider(const DRAVSsoProvider&) = delete;
  DRAVSsoProvider& operator=(const DRAVSsoProvider&) = delete;

  // Null for an empty name ("siteminder" is the one known name, exactly);
  // throws std::runtime_error for any other. The caller owns the result.
  static DRAVSsoProvider* create(const std::string& name);

  virtual void initialize(DRAVBridgeProxy* proxy) = 0;

  const std::string& name() const { return name_; }
  DRAVSsoUserInfo& getUserInfo() { return userInfo_; }
  const DRAVSsoUserInfo& getUserInfo() const { return userInfo_; }

private:
  std::string name_;
  DRAVSsoUserInfo userInfo_;
};

// Logs on with the challenge cookie and Basic credentials; keeps the SMSESSION cookie.
class DRAV_EXPORT SiteMinderSsoProvider : public DRAVSsoProvider {
public:
  SiteMinderSsoProvider();
  ~SiteMinderSsoProvider() override;

  // Runs once per provider, also when several threads start calls at once;
  // logs on unless the proxy's cookies already hold "SMSESSION". A failed
  // logon throws HttpPostDataException and leaves the provider to try again.
  void initialize(DRAVBridgeProxy* proxy) override;

  // True when the proxy's cookies hold one named exactly "SMSESSION", with a
  // value: another cookie whose name merely holds the word is no session.
  static bool hasSessionCookie(const DRAVBridgeProxy& proxy);

private:
  struct Lock;

  void logon(DRAVBridgeProxy* proxy);

  std::atomic<bool> loggedOn_{false};
  std::unique_ptr<Lock> lock_;
};
