// Settings of the host's authentication: how failed logons from one client
// are slowed down, and how single-sign-on sessions are signed and how long
// they live. A plain record with its defaults; HostSettings holds one.
#pragma once

#include <chrono>
#include <string>

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

  // A single-sign-on session ends this long after the logon (the cookie's
  // Max-Age); using it does not prolong it.
  std::chrono::milliseconds sessionLifetime{8 * 60 * 60 * 1000};
  // The key that signs sessions, at least 32 bytes. Hosts that share it
  // accept each other's sessions; empty: a random key of this process.
  std::string sessionKey;
};

}  // namespace DRAVHost
