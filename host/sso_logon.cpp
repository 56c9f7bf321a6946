#include "host/sso_logon.h"

#include "host/basic_credentials.h"
#include "host/header_text.h"

#include <algorithm>
#include <random>

namespace DRAVHost {

namespace {

constexpr const char* kChallengeCookie = "SMCHALLENGE";
constexpr const char* kSessionCookie = "SMSESSION";

std::string cookieHeaderOf(const RequestHead& head) {
  const std::string* cookies = head.field("Cookie");
  return cookies ? *cookies : std::string();
}

std::string randomToken() {
  static const char kDigits[] = "0123456789abcdef";
  std::random_device source;
  std::string token;  // 128 random bits
  for (int i = 0; i < 4; ++i) {
    const unsigned value = source();
    for (int nibble = 0; nibble < 8; ++nibble) token += kDigits[(value >> (4 * nibble)) & 0xF];
  }
  return token;
}

// The session cookie: not for scripts, only over HTTPS when issued over it,
// and gone from the client when the session's absolute lifetime ends.
std::string sessionCookie(const std::string& token, const HostSettings& settings) {
  const auto maxAge = std::chrono::ceil<std::chrono::seconds>(settings.auth.sessionLifetime).count();
  std::string cookie = std::string(kSessionCookie) + "=" + token + "; Path=/; Max-Age=" + std::to_string(maxAge) +
                       "; HttpOnly";
  if (!settings.certFile.empty()) cookie += "; Secure";
  return cookie;
}

}  // namespace

SsoSessions::SsoSessions(unsigned maxSessions, const AuthSettings& settings, AuthClock now)
    : maxSessions_(std::max(maxSessions, 1u)),
      perOwner_(std::max(settings.sessionsPerClient, 1u)),
      settings_(settings),
      now_(std::move(now)),
      ownersHolding_(perOwner_ + 1) {}

std::string SsoSessions::open(const std::string& owner) {
  std::string token = randomToken();
  const auto now = now_();
  std::lock_guard<std::mutex> lock(mutex_);
  const auto held = byOwner_.find(owner);
  if (held != byOwner_.end() && held->second.size() >= perOwner_) closeOldestOf(owner);
  if (sessions_.size() >= maxSessions_) closeEnded(now);
  if (sessions_.size() >= maxSessions_) {
    std::size_t most = perOwner_;
    while (ownersHolding_[most].empty()) --most;  // the table is full, so some owner holds one
    closeOldestOf(*ownersHolding_[most].begin());
  }
  recent_.push_front(token);
  sessions_[token] = Session{owner, now, now, recent_.begin()};
  std::vector<std::string>& tokens = byOwner_[owner];
  tokens.push_back(token);
  regroup(owner, tokens.size() - 1, tokens.size());
  return token;
}

bool SsoSessions::use(const std::string& token) {
  const auto now = now_();
  std::lock_guard<std::mutex> lock(mutex_);
  const auto session = sessions_.find(token);
  if (session == sessions_.end()) return false;
  if (ended(session->second, now)) {
    close(session);
    return false;
  }
  session->second.lastUsed = now;
  recent_.splice(recent_.begin(), recent_, session->second.recent);
  return true;
}

std::size_t SsoSessions::count() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return sessions_.size();
}

bool SsoSessions::ended(const Session& session, std::chrono::steady_clock::time_point now) const {
  // Compared in the settings' unit: any setting, however large, then fits.
  using std::chrono::milliseconds;
  return std::chrono::duration_cast<milliseconds>(now - session.lastUsed) >= settings_.sessionIdleLifetime ||
         std::chrono::duration_cast<milliseconds>(now - session.opened) >= settings_.sessionLifetime;
}

void SsoSessions::close(Sessions::iterator session) {
  const std::string owner = session->second.owner;
  std::vector<std::string>& tokens = byOwner_[owner];
  tokens.erase(std::find(tokens.begin(), tokens.end(), session->first));  // at most perOwner_ long
  regroup(owner, tokens.size() + 1, tokens.size());
  if (tokens.empty()) byOwner_.erase(owner);
  recent_.erase(session->second.recent);
  sessions_.erase(session);
}

void SsoSessions::regroup(const std::string& owner, std::size_t from, std::size_t size) {
  if (from > 0) ownersHolding_[from].erase(owner);
  if (size > 0) ownersHolding_[size].insert(owner);
}

void SsoSessions::closeOldestOf(const std::string& owner) { close(sessions_.find(byOwner_.at(owner).front())); }

void SsoSessions::closeEnded(std::chrono::steady_clock::time_point now) {
  // Idled-out sessions gather at the end of the recent list; one that has
  // reached its absolute lifetime while still in use ends at its next use.
  while (!recent_.empty()) {
    const auto session = sessions_.find(recent_.back());
    if (!ended(session->second, now)) break;
    close(session);
  }
}

void answerSsoLogon(const RequestHead& head, const HostSettings& settings, LogonThrottle& throttle,
                    SsoSessions& sessions, const ClientKey& client, ResponseStream& out) {
  const std::string challenge = "Basic realm=\"" + settings.realm + "\"";
  const auto challenged = findCookie(cookieHeaderOf(head), kChallengeCookie);
  if (!challenged || *challenged != "YES") {
    out.sendText(401, "single sign-on: the logon needs the challenge cookie SMCHALLENGE=YES",
                 {{"Set-Cookie", "SMCHALLENGE=YES; Path=/"}, {"WWW-Authenticate", challenge}});
    return;
  }
  if (const auto locked = throttle.lockedFor(client); locked.count() > 0) {
    const LockoutAnswer answer = lockoutAnswer(locked);
    out.sendText(429, answer.message, {{"Retry-After", answer.retryAfter}});
    return;
  }
  const std::string* authorization = head.field("Authorization");
  if (!authorization || !basicCredentialsMatch(*authorization, settings.sso.user, settings.sso.password)) {
    if (authorization) throttle.failed(client);
    out.sendText(401, "single sign-on: unknown user or wrong password", {{"WWW-Authenticate", challenge}});
    return;
  }
  throttle.succeeded(client);
  const std::string owner = std::string(client.begin(), client.end()) + settings.sso.user;
  out.sendText(200, "single sign-on: logged on", {{"Set-Cookie", sessionCookie(sessions.open(owner), settings)}});
}

std::string openSessionOf(const RequestHead& head, SsoSessions& sessions) {
  const auto token = findCookie(cookieHeaderOf(head), kSessionCookie);
  return token && sessions.use(*token) ? *token : std::string();
}

}  // namespace DRAVHost
