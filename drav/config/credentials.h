// HTTP Basic credentials as values: Base64Credentials holds a user name and
// password together with their Basic form (Base64 of user ":" password);
// HttpAuthorizationToken is an Authorization header value (scheme word, one
// space, Basic credentials). Neither talks to the network or checks the
// scheme word; decoding never fails.
#pragma once

#include <drav/export.h>

#include <string>

// A user name and password with their Basic form, each derived from the other.
class DRAV_EXPORT Base64Credentials {
public:
  Base64Credentials() = default;
  // Computes the credentials from user ":" password.
  Base64Credentials(const std::string& user, const std::string& password);
  // Derives user and password (see fromCredentials).
  explicit Base64Credentials(const std::string& credentials);

  // Replaces the credentials; the user is the decoded text before its first
  // ":", the password everything after it (empty without a ":").
  void fromCredentials(const std::string& credentials);

  const std::string& getUser() const { return user_; }  // valid until the next change
  const std::string& getPassword() const { return password_; }
  const std::string& getCredentials() const { return credentials_; }

private:
  void toCredentials();
  void fromCredentials();

  std::string user_;
  std::string password_;
  std::string credentials_;
};

// An Authorization header value: a scheme word and Basic credentials.
class DRAV_EXPORT HttpAuthorizationToken {
public:
  // "Basic dXNlcjpwdw==": the scheme word is the text before the first
  // space, the credentials everything after it. Without a space the token
  // stays empty.
  explicit HttpAuthorizationToken(const std::string& token);
  HttpAuthorizationToken(Base64Credentials credentials, const std::string& authMode);

  const Base64Credentials& getCredentials() const { return credentials_; }  // valid while the token lives
  const std::string& getAuthMode() const { return authMode_; }
  // authMode " " credentials, or the credentials alone without a scheme word.
  std::string toString() const;

private:
  std::string authMode_;
  Base64Credentials credentials_;
};
