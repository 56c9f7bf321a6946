// Single-sign-on sessions as self-contained signed tokens, so that every
// host sharing the key accepts a session any of them issued, and none keeps
// a table of them. A token is
//   1.<user, hex>.<issued>.<expires>.<HMAC-SHA256 of all before it, hex>
// with the times in whole seconds since 1970 (UTC); it is valid while the
// clock is before its expiry.
//
// What a stateless token gives up: it cannot be revoked, counted per
// client, or kept alive by use. So a session lives for its absolute
// lifetime only; there is no idle lifetime and no per-client cap (issuing
// one costs no memory, and the logon throttle slows down guessing). A
// token re-issued on each use would not help either: the client library
// writes the cookie string it got at logon back before every call and
// never logs on again, so it would keep sending the first token.
#pragma once

#include <drav/host/auth_settings.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace DRAVHost {

using WallClock = std::function<std::chrono::system_clock::time_point()>;

// Keys shorter than this are refused: the MAC is no stronger than its key.
constexpr std::size_t kMinSessionKeyBytes = 32;

// What a valid token says.
struct SessionClaims {
  std::string user;
  std::int64_t issued = 0;   // seconds since 1970
  std::int64_t expires = 0;  // seconds since 1970
};

// Issues and checks tokens under one key; safe to use from several threads.
class SessionTokens {
public:
  // `settings.sessionKey` empty: a random key of this process, so only it
  // accepts its tokens. Throws std::invalid_argument for a key shorter than
  // kMinSessionKeyBytes.
  explicit SessionTokens(const AuthSettings& settings, WallClock now = std::chrono::system_clock::now);
  // A new token for `user`, valid from now for the session lifetime
  // (rounded up to the next whole second of the clock).
  std::string issue(const std::string& user);
  // The claims of `token` when this key signed it and it has not expired.
  std::optional<SessionClaims> check(const std::string& token) const;
  // Tokens this object has issued.
  std::size_t issued() const { return issued_; }

private:
  std::string macOf(const std::string& payload) const;

  std::string key_;
  const std::chrono::nanoseconds lifetime_;
  const WallClock now_;
  std::atomic<std::size_t> issued_{0};
};

// The session key held in the file at `path`, a final line end left out;
// throws std::runtime_error naming the file and the reason when it cannot
// be read, every user may read it, or it is larger than 4 KiB or shorter
// than kMinSessionKeyBytes.
std::string sessionKeyFromFile(const std::string& path);

}  // namespace DRAVHost
