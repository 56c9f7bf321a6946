#include "host/sso/host_auth.h"

#include "host/sso/basic_credentials.h"

namespace DRAVHost {

namespace {

// Tells the bridges' credentials from the logon's in the throttle.
constexpr const char* kBridgeRealm = "bridges";

}  // namespace

std::optional<AuthRefusal> refusalOfBasic(const RequestHead& head, const HostSettings& settings, HostAuth& auth,
                                          const ClientKey& client) {
  if (settings.user.empty() && settings.password.empty()) return std::nullopt;
  const std::string* authorization = nullptr;
  try {
    authorization = head.soleField("Authorization");
  } catch (const HttpError& e) {
    return AuthRefusal{e.status(), e.what(), {}};
  }
  const auto given = authorization ? basicCredentialsOf(*authorization) : std::nullopt;
  const LogonAttempt attempt = logonAttempt(client, kBridgeRealm, given ? given->user : std::string());
  if (const auto locked = auth.throttle.lockedFor(attempt); locked.count() > 0) {
    LockoutAnswer answer = lockoutAnswer(locked);
    return AuthRefusal{429, std::move(answer.message), {{"Retry-After", std::move(answer.retryAfter)}}};
  }
  if (given && credentialsMatch(*given, settings.user, settings.password)) {
    auth.throttle.succeeded(attempt);
    return std::nullopt;
  }
  if (authorization) auth.throttle.failed(attempt);
  return AuthRefusal{401, "this bridge needs a valid user and password",
                     {{"WWW-Authenticate", "Basic realm=\"" + settings.realm + "\""}}};
}

}  // namespace DRAVHost
