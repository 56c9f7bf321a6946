#include "host/sso/sso_logon.h"

#include "host/sso/basic_credentials.h"
#include "host/server/header_text.h"

namespace DRAVHost {

namespace {

constexpr const char* kChallengeCookie = "SMCHALLENGE";
constexpr const char* kSessionCookie = "SMSESSION";
// Tells the logon's credentials from the bridges' in the throttle.
constexpr const char* kLogonRealm = "logon";

std::string cookieHeaderOf(const RequestHead& head) {
  const std::string* cookies = head.field("Cookie");
  return cookies ? *cookies : std::string();
}

// The session cookie: not for scripts, only over HTTPS when issued over it,
// and gone from the client when the session's absolute lifetime ends.
std::string sessionCookie(const std::string& token, const HostSettings& settings, bool overHttps) {
  const auto maxAge = std::chrono::ceil<std::chrono::seconds>(settings.auth.sessionLifetime).count();
  std::string cookie = std::string(kSessionCookie) + "=" + token + "; Path=/; Max-Age=" + std::to_string(maxAge) +
                       "; HttpOnly";
  if (overHttps) cookie += "; Secure";
  return cookie;
}

}  // namespace

void answerSsoLogon(const RequestHead& head, const HostSettings& settings, LogonThrottle& throttle,
                    SessionTokens& sessions, const ClientKey& client, bool overHttps, ResponseStream& out) {
  const std::string challenge = "Basic realm=\"" + settings.realm + "\"";
  const auto challenged = findCookie(cookieHeaderOf(head), kChallengeCookie);
  if (!challenged || *challenged != "YES") {
    out.sendText(401, "single sign-on: the logon needs the challenge cookie SMCHALLENGE=YES",
                 {{"Set-Cookie", "SMCHALLENGE=YES; Path=/"}, {"WWW-Authenticate", challenge}});
    return;
  }
  const std::string* authorization = nullptr;
  try {
    authorization = head.soleField("Authorization");
  } catch (const HttpError& e) {
    out.sendText(e.status(), e.what());
    return;
  }
  const auto given = authorization ? basicCredentialsOf(*authorization) : std::nullopt;
  const LogonAttempt attempt = logonAttempt(client, kLogonRealm, given ? given->user : std::string());
  if (const auto locked = throttle.lockedFor(attempt); locked.count() > 0) {
    const LockoutAnswer answer = lockoutAnswer(locked);
    out.sendText(429, answer.message, {{"Retry-After", answer.retryAfter}});
    return;
  }
  if (!given || !credentialsMatch(*given, settings.sso.user, settings.sso.password)) {
    if (authorization) throttle.failed(attempt);
    out.sendText(401, "single sign-on: unknown user or wrong password", {{"WWW-Authenticate", challenge}});
    return;
  }
  throttle.succeeded(attempt);
  out.sendText(200, "single sign-on: logged on",
               {{"Set-Cookie", sessionCookie(sessions.issue(settings.sso.user), settings, overHttps)}});
}

std::string openSessionOf(const RequestHead& head, const SessionTokens& sessions) {
  const auto token = findCookie(cookieHeaderOf(head), kSessionCookie);
  return token && sessions.check(*token) ? *token : std::string();
}

}  // namespace DRAVHost
