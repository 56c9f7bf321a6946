// The logon side of the single-sign-on exchange the client library plays: a
// GET to the logon path that carries the challenge cookie "SMCHALLENGE=YES"
// and Basic credentials gets a new "SMSESSION" cookie, and bridge calls can
// be required to carry a session cookie issued here. A stand-in for a
// single-sign-on server so that the client's logon can be tested end to end,
// and so that several hosts sharing a key accept each other's sessions.
#pragma once

#include "host/server/client_key.h"
#include "host/sso/logon_throttle.h"
#include "host/server/request_stream.h"
#include "host/server/response_stream.h"
#include "host/sso/session_token.h"

#include <string>

namespace DRAVHost {

// Answers one GET to the logon path: 401 with the challenge cookie when the
// request lacks it, 429 while the client is locked out after failed logons,
// 401 when the credentials are missing or wrong, else 200 with a new session
// cookie naming the user, marked Secure when `overHttps` (the client's
// connection is https, the host's own or as a trusted proxy says).
void answerSsoLogon(const RequestHead& head, const HostSettings& settings, LogonThrottle& throttle,
                    SessionTokens& sessions, const ClientKey& client, bool overHttps, ResponseStream& out);

// The session cookie of a request when it holds a token `sessions` accepts;
// empty otherwise.
std::string openSessionOf(const RequestHead& head, const SessionTokens& sessions);

}  // namespace DRAVHost
