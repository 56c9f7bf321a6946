// Settings of the host's authentication: how failed logons from one client
// are slowed down, and how single-sign-on sessions are signed and how long
// they live. A plain record with its defaults; HostSettings holds one.
#pragma once

#include <chrono>
#include <string>

namespace DRAVHost {

// The lockout of failed logons, and the life and key of sign-on sessions.
struct AuthSettings {
  // Wrong credentials in a row one client may send for one user name before
  // it is locked out for that name; the lockout then doubles with every
  // further failure. Failures under any names lock the client out as a whole
  // at four times this. The client is the peer's address, or the address a
  // trusted proxy names.
  unsigned freeFailures = 5;
  std::chrono::milliseconds firstLockout{1000};
  std::chrono::milliseconds longestLockout{300000};
  // A client's failures are forgotten this long after its last one.
  std::chrono::milliseconds forgetFailuresAfter{900000};
  // Failure counts remembered (one per client, one per client and user
  // name); beyond this the count under a user name that failed least
  // recently is forgotten, a client's own count only when none is left.
  // Under 200 bytes each.
  unsigned trackedClients = 4096;

  // A single-sign-on session ends this long after the logon (the cookie's
  // Max-Age); using it does not prolong it.
  std::chrono::milliseconds sessionLifetime{8 * 60 * 60 * 1000};
  // The key that signs sessions, at least 32 bytes. Hosts that share it
  // accept each other's sessions; empty: a random key of this process.
  std::string sessionKey;
};

}  // namespace DRAVHost
