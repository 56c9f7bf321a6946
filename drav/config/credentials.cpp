#include <drav/config/credentials.h>

#include <drav/config/base64.h>

#include <utility>

Base64Credentials::Base64Credentials(const std::string& user, const std::string& password)
    : user_(user), password_(password) {
  toCredentials();
}

Base64Credentials::Base64Credentials(const std::string& credentials) : credentials_(credentials) {
  fromCredentials();
}

void Base64Credentials::fromCredentials(const std::string& credentials) {
  credentials_ = credentials;
  fromCredentials();
}

void Base64Credentials::toCredentials() { credentials_ = Base64::Codec().encode(user_ + ':' + password_); }

void Base64Credentials::fromCredentials() {
  const std::string text = Base64::Codec().decode(credentials_);
  const std::size_t colon = text.find(':');
  if (colon == std::string::npos) {
    user_ = text;
    password_.clear();
  } else {
    user_.assign(text, 0, colon);
    password_.assign(text, colon + 1, std::string::npos);
  }
}

HttpAuthorizationToken::HttpAuthorizationToken(const std::string& token) {
  const std::size_t space = token.find(' ');
  if (space == std::string::npos) return;
  authMode_.assign(token, 0, space);
  if (space + 1 < token.size()) credentials_.fromCredentials(token.substr(space + 1));
}

HttpAuthorizationToken::HttpAuthorizationToken(Base64Credentials credentials, const std::string& authMode)
    : authMode_(authMode), credentials_(std::move(credentials)) {}

std::string HttpAuthorizationToken::toString() const {
  if (authMode_.empty()) return credentials_.getCredentials();
  return authMode_ + ' ' + credentials_.getCredentials();
}
