#include "host/sso_logon.h"

#include "host/header_text.h"

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

}  // namespace

std::string SsoSessions::open() {
  std::string token = randomToken();
  std::lock_guard<std::mutex> lock(mutex_);
  while (order_.size() >= maxSessions_) {
    open_.erase(order_.front());
    order_.pop_front();
  }
  order_.push_back(token);
  open_.insert(token);
  return token;
}

bool SsoSessions::isOpen(const std::string& token) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return open_.count(token) != 0;
}

std::size_t SsoSessions::count() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return open_.size();
}

void answerSsoLogon(const RequestHead& head, const SsoLogonSettings& settings, const std::string& realm,
                    SsoSessions& sessions, ResponseStream& out) {
  const std::string challenge = "Basic realm=\"" + realm + "\"";
  const auto challenged = findCookie(cookieHeaderOf(head), kChallengeCookie);
  if (!challenged || *challenged != "YES") {
    out.sendText(401, "single sign-on: the logon needs the challenge cookie SMCHALLENGE=YES",
                 {{"Set-Cookie", "SMCHALLENGE=YES; Path=/"}, {"WWW-Authenticate", challenge}});
    return;
  }
  const std::string* authorization = head.field("Authorization");
  if (!authorization || !basicCredentialsMatch(*authorization, settings.user, settings.password)) {
    out.sendText(401, "single sign-on: unknown user or wrong password", {{"WWW-Authenticate", challenge}});
    return;
  }
  const std::string token = sessions.open();
  out.sendText(200, "single sign-on: logged on", {{"Set-Cookie", std::string(kSessionCookie) + "=" + token + "; Path=/"}});
}

std::string openSessionOf(const RequestHead& head, const SsoSessions& sessions) {
  const auto token = findCookie(cookieHeaderOf(head), kSessionCookie);
  return token && sessions.isOpen(*token) ? *token : std::string();
}

}  // namespace DRAVHost
