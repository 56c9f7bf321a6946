// The logon side of the single-sign-on exchange the client library plays: a
// GET to the logon path that carries the challenge cookie "SMCHALLENGE=YES"
// and Basic credentials gets a new "SMSESSION" cookie, and bridge calls can
// be required to carry a session cookie issued here. A stand-in for a
// single-sign-on server so that the client's logon can be tested end to end,
// not one: sessions live in this process's memory.
#pragma once

#include "host/auth_settings.h"
#include "host/client_key.h"
#include "host/logon_throttle.h"
#include "host/request_stream.h"
#include "host/response_stream.h"

#include <chrono>
#include <cstddef>
#include <list>
#include <vector>
#include <mutex>
#include <string>
#include <unordered_map>
#include <unordered_set>

namespace DRAVHost {

// The sessions issued so far; safe to use from several threads. A session
// ends when unused for the idle lifetime or at its absolute lifetime. Each
// owner (a user at one client) holds a bounded number: its own oldest makes
// room for its next. When all owners together hold the maximum, ended
// sessions go first, then the oldest of an owner holding the most. Every
// step costs the same however full the table is.
class SsoSessions {
public:
  SsoSessions(unsigned maxSessions, const AuthSettings& settings, AuthClock now = std::chrono::steady_clock::now);
  // A new random session token for `owner`.
  std::string open(const std::string& owner);
  // Whether `token` names a live session; using it keeps it from idling out.
  bool use(const std::string& token);
  // Sessions held, those that ended unnoticed included.
  std::size_t count() const;

private:
  using Recent = std::list<std::string>;  // tokens, the most recently used first
  struct Session {
    std::string owner;
    std::chrono::steady_clock::time_point opened;
    std::chrono::steady_clock::time_point lastUsed;
    Recent::iterator recent;
  };
  using Sessions = std::unordered_map<std::string, Session>;

  bool ended(const Session& session, std::chrono::steady_clock::time_point now) const;
  void close(Sessions::iterator session);
  // Moves `owner` to the group of owners holding `size` sessions.
  void regroup(const std::string& owner, std::size_t from, std::size_t size);
  void closeOldestOf(const std::string& owner);
  // Closes the least recently used sessions for as long as they have ended.
  void closeEnded(std::chrono::steady_clock::time_point now);

  const unsigned maxSessions_;
  const unsigned perOwner_;
  const AuthSettings settings_;
  const AuthClock now_;
  mutable std::mutex mutex_;
  Sessions sessions_;
  Recent recent_;
  std::unordered_map<std::string, std::vector<std::string>> byOwner_;  // tokens, oldest first
  std::vector<std::unordered_set<std::string>> ownersHolding_;      // [n]: the owners holding n sessions
};

// Answers one GET to the logon path: 401 with the challenge cookie when the
// request lacks it, 429 while the client is locked out after failed logons,
// 401 when the credentials are missing or wrong, else 200 with a new session
// cookie.
void answerSsoLogon(const RequestHead& head, const HostSettings& settings, LogonThrottle& throttle,
                    SsoSessions& sessions, const ClientKey& client, ResponseStream& out);

// The session cookie of a request when it names a live session issued here
// (which counts as a use of it); empty otherwise.
std::string openSessionOf(const RequestHead& head, SsoSessions& sessions);

}  // namespace DRAVHost
