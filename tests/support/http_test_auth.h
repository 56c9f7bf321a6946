// Server side of the authentication schemes the test server can demand:
// checking a Basic "Authorization" value, and the NTLM messages (reading a
// negotiate or authenticate message, making a challenge). The NTLM response
// is not verified cryptographically; what is checked is the message framing
// and the user name the client sent. Hostile input is refused, never read
// past its end.
#pragma once

#include <cstdint>
#include <string>

namespace drav_test {

// True when `authorization` is "Basic " + base64(user ":" password).
bool basicMatches(const std::string& authorization, const std::string& user, const std::string& password);

// The NTLM message type (1, 2 or 3) of an "NTLM <base64>" header value; 0
// when it is not a well-formed NTLM message.
int ntlmMessageType(const std::string& authorization);
// "NTLM <base64>" of a challenge message with a fixed server challenge.
std::string ntlmChallengeHeader();
// The user name carried by an authenticate (type 3) message, as UTF-8 (only
// ASCII names are converted faithfully); empty when malformed.
std::string ntlmUserName(const std::string& authorization);

}  // namespace drav_test
