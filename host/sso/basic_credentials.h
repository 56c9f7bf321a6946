// Basic credentials as the host reads them from an Authorization header:
// the scheme word, then exactly one padded Base64 text and nothing else,
// decoding to "user:password". Anything else is no credentials at all; the
// library's own decoder is lenient for its clients' sake, the host is not.
// Not the client side's credentials classes.
#pragma once

#include <optional>
#include <string>

namespace DRAVHost {

struct BasicCredentials {
  std::string user;
  std::string password;
};

// The bytes of canonical padded Base64 text (RFC 4648, section 4): length a
// multiple of 4, alphabet characters only, "=" only as the last one or two,
// and the bits the padding leaves over zero. Nothing for any other text.
std::optional<std::string> decodeBase64Strictly(const std::string& text);

// The credentials of a Basic Authorization header value; nothing when the
// value is another scheme or malformed, or the decoded text has no ":".
std::optional<BasicCredentials> basicCredentialsOf(const std::string& authorization);

// Whether `a` equals `b`, in a time that depends on neither their contents
// nor the length of `b`, so that the comparison tells a guesser nothing.
bool equalInConstantTime(const std::string& a, const std::string& b);

// Whether `given` are exactly `user` and `password`, both compared in constant time.
bool credentialsMatch(const BasicCredentials& given, const std::string& user, const std::string& password);

}  // namespace DRAVHost
