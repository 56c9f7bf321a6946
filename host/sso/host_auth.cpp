#include "host/sso/host_auth.h"

#include "host/sso/basic_credentials.h"

namespace DRAVHost {

std::optional<AuthRefusal> refusalOfBasic(const RequestHead& head, const HostSettings& settings, HostAuth& auth,
                                          const ClientKey& client) {
  if (settings.user.empty() && settings.password.empty()) return std::nullopt;
  if (const auto locked = auth.throttle.lockedFor(client); locked.count() > 0) {
    LockoutAnswer answer = lockoutAnswer(locked);
    return AuthRefusal{429, std::move(answer.message), {{"Retry-After", std::move(answer.retryAfter)}}};
  }
  const std::string* authorization = head.field("Authorization");
  if (authorization && basicCredentialsMatch(*authorization, settings.user, settings.password)) {
    auth.throttle.succeeded(client);
    return std::nullopt;
  }
  if (authorization) auth.throttle.failed(client);
  return AuthRefusal{401, "this bridge needs a valid user and password",
                     {{"WWW-Authenticate", "Basic realm=\"" + settings.realm + "\""}}};
}

}  // namespace DRAVHost
