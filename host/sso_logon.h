// The logon side of the single-sign-on exchange the client library plays: a
// GET to the logon path that carries the challenge cookie "SMCHALLENGE=YES"
// and Basic credentials gets a new "SMSESSION" cookie, and bridge calls can
// be required to carry a session cookie issued here. A stand-in for a
// single-sign-on server so that the client's logon can be tested end to end,
// not one: sessions live in memory and never expire.
#pragma once

#include "host/host_settings.h"
#include "host/request_stream.h"
#include "host/response_stream.h"

#include <cstddef>
#include <deque>
#include <mutex>
#include <string>
#include <unordered_set>

namespace DRAVHost {

// The sessions issued so far; safe to use from several threads.
class SsoSessions {
public:
  explicit SsoSessions(unsigned maxSessions) : maxSessions_(maxSessions ? maxSessions : 1) {}
  // A new random session token; the oldest is forgotten beyond the maximum.
  std::string open();
  bool isOpen(const std::string& token) const;
  std::size_t count() const;

private:
  mutable std::mutex mutex_;
  const unsigned maxSessions_;
  std::deque<std::string> order_;
  std::unordered_set<std::string> open_;
};

// Answers one GET to the logon path: 401 with the challenge cookie when the
// request lacks it, 401 when the credentials are missing or wrong, else 200
// with a new session cookie.
void answerSsoLogon(const RequestHead& head, const SsoLogonSettings& settings, const std::string& realm,
                    SsoSessions& sessions, ResponseStream& out);

// The session cookie of a request when it names a session issued here; empty otherwise.
std::string openSessionOf(const RequestHead& head, const SsoSessions& sessions);

}  // namespace DRAVHost
