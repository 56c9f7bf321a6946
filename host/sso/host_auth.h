// What the host's authentication keeps across connections (the failed-logon
// throttle and the single-sign-on sessions), and the check of a bridge
// call's Basic credentials against it. The logon route itself: sso_logon.h.
#pragma once

#include "host/server/client_key.h"
#include <drav/host/host_settings.h>
#include "host/sso/logon_throttle.h"
#include "host/server/request_stream.h"
#include "host/sso/session_token.h"
#include "host/sso/sso_logon.h"

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace DRAVHost {

// Shared by every connection of a host; safe to use from several threads.
struct HostAuth {
  explicit HostAuth(const HostSettings& settings)
      : throttle(settings.auth), sessions(settings.auth) {}
  LogonThrottle throttle;
  SessionTokens sessions;
};

// An answer that turns a request away before it runs.
struct AuthRefusal {
  unsigned status;
  std::string message;
  std::vector<std::pair<std::string, std::string>> headers;
};

// Nothing when the host asks no Basic credentials or the request carries the
// right ones; else 401 with the challenge, or 429 while `client` is locked
// out after failed attempts. Wrong credentials count against `client`.
std::optional<AuthRefusal> refusalOfBasic(const RequestHead& head, const HostSettings& settings, HostAuth& auth,
                                          const ClientKey& client);

}  // namespace DRAVHost
