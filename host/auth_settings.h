// Settings of the host's authentication: how failed logons from one client
// are slowed down, and how long single-sign-on sessions live. A plain record
// with its defaults; HostSettings holds one.
#pragma once

#include <chrono>

namespace DRAVHost {

struct AuthSettings {
  // Wrong credentials in a row one client address may send before it is
  // locked out; the lockout then doubles with every further failure.
  unsigned freeFailures = 5;
  std::chrono::milliseconds firstLockout{1000};
  std::chrono::milliseconds longestLockout{300000};
  // A client's failures are forgotten this long after its last one.
  std::chrono::milliseconds forgetFailuresAfter{900000};
  // Client addresses whose failures are remembered; beyond this the one
  // that failed least recently is forgotten. Under 200 bytes each.
  unsigned trackedClients = 4096;

  // A session ends when unused this long, and this long after the logon at
  // the latest (the cookie's Max-Age).
  std::chrono::milliseconds sessionIdleLifetime{30 * 60 * 1000};
  std::chrono::milliseconds sessionLifetime{8 * 60 * 60 * 1000};
  // Sessions one user holds from one client address; a further logon ends
  // that client's oldest, so that no client can push others' sessions out.
  unsigned sessionsPerClient = 16;
};

}  // namespace DRAVHost
