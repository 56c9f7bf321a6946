#include "host/sso/session_token.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>

#include <sys/stat.h>

#include <algorithm>
#include <charconv>
#include <fstream>
#include <limits>
#include <stdexcept>
#include <string_view>
#include <vector>

namespace DRAVHost {

namespace {

constexpr std::string_view kVersion = "1";
constexpr std::size_t kLongestToken = 4096;  // a user name of up to 1900 bytes fits
constexpr std::size_t kLongestKeyFile = 4096;
// Longer lifetimes are cut to this, which keeps the sum with the clock's
// nanoseconds in range.
constexpr std::chrono::milliseconds kLongestLifetime = std::chrono::hours(24 * 366 * 100);

std::string hexOf(const unsigned char* bytes, std::size_t size) {
  static const char kDigits[] = "0123456789abcdef";
  std::string text;
  text.reserve(2 * size);
  for (std::size_t i = 0; i < size; ++i) {
    text += kDigits[bytes[i] >> 4];
    text += kDigits[bytes[i] & 0xF];
  }
  return text;
}

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

std::optional<std::string> bytesOfHex(std::string_view hex) {
  if (hex.size() % 2 != 0) return std::nullopt;
  std::string bytes;
  for (std::size_t i = 0; i < hex.size(); i += 2) {
    const int high = hexDigit(hex[i]), low = hexDigit(hex[i + 1]);
    if (high < 0 || low < 0) return std::nullopt;
    bytes += static_cast<char>(high << 4 | low);
  }
  return bytes;
}

std::optional<std::int64_t> secondsOf(std::string_view digits) {
  std::uint64_t value = 0;
  if (digits.empty() || digits.size() > 19) return std::nullopt;
  const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
  if (error != std::errc() || end != digits.data() + digits.size() ||
      value > std::uint64_t(std::numeric_limits<std::int64_t>::max()))
    return std::nullopt;
  return static_cast<std::int64_t>(value);
}

// `text` cut at each dot.
std::vector<std::string_view> fieldsOf(std::string_view text) {
  std::vector<std::string_view> fields;
  for (std::size_t start = 0;;) {
    const std::size_t dot = text.find('.', start);
    fields.push_back(text.substr(start, dot == std::string_view::npos ? std::string_view::npos : dot - start));
    if (dot == std::string_view::npos) return fields;
    start = dot + 1;
  }
}

std::string randomKey() {
  unsigned char bytes[kMinSessionKeyBytes];
  if (RAND_bytes(bytes, sizeof bytes) != 1) throw std::runtime_error("no random bytes for the session key");
  return std::string(reinterpret_cast<const char*>(bytes), sizeof bytes);
}

}  // namespace

SessionTokens::SessionTokens(const AuthSettings& settings, WallClock now)
    : key_(settings.sessionKey.empty() ? randomKey() : settings.sessionKey),
      lifetime_(std::min(settings.sessionLifetime, kLongestLifetime)),
      now_(std::move(now)) {
  if (key_.size() < kMinSessionKeyBytes)
    throw std::invalid_argument("the session key has " + std::to_string(key_.size()) + " bytes; it needs at least " +
                                std::to_string(kMinSessionKeyBytes));
}

std::string SessionTokens::issue(const std::string& user) {
  using std::chrono::seconds;
  const auto now = now_().time_since_epoch();
  const std::int64_t issued = std::chrono::floor<seconds>(now).count();
  // Rounded up: a token lives at least the lifetime, never less.
  const std::int64_t expires = std::chrono::ceil<seconds>(now + lifetime_).count();
  const std::string payload = std::string(kVersion) + "." +
                              hexOf(reinterpret_cast<const unsigned char*>(user.data()), user.size()) + "." +
                              std::to_string(issued) + "." + std::to_string(expires);
  ++issued_;
  return payload + "." + macOf(payload);
}

std::optional<SessionClaims> SessionTokens::check(const std::string& token) const {
  if (token.size() > kLongestToken) return std::nullopt;
  const std::size_t lastDot = token.rfind('.');
  if (lastDot == std::string::npos) return std::nullopt;
  const std::string expected = macOf(token.substr(0, lastDot));
  const std::string_view given = std::string_view(token).substr(lastDot + 1);
  if (given.size() != expected.size() || CRYPTO_memcmp(given.data(), expected.data(), expected.size()) != 0)
    return std::nullopt;

  // Signed with this key, so written by issue(); read it as strictly anyway.
  const std::vector<std::string_view> fields = fieldsOf(std::string_view(token).substr(0, lastDot));
  if (fields.size() != 4 || fields[0] != kVersion) return std::nullopt;
  const auto user = bytesOfHex(fields[1]);
  const auto issued = secondsOf(fields[2]), expires = secondsOf(fields[3]);
  if (!user || !issued || !expires) return std::nullopt;
  const std::int64_t now = std::chrono::floor<std::chrono::seconds>(now_().time_since_epoch()).count();
  if (now >= *expires) return std::nullopt;
  return SessionClaims{*user, *issued, *expires};
}

std::string SessionTokens::macOf(const std::string& payload) const {
  unsigned char mac[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  if (!HMAC(EVP_sha256(), key_.data(), static_cast<int>(key_.size()),
            reinterpret_cast<const unsigned char*>(payload.data()), payload.size(), mac, &size))
    throw std::runtime_error("HMAC-SHA256 failed");
  return hexOf(mac, size);
}

std::string sessionKeyFromFile(const std::string& path) {
  struct stat status {};
  if (stat(path.c_str(), &status) == 0 && (status.st_mode & S_IROTH))
    throw std::runtime_error("'" + path + "' can be read by every user (chmod o-r it)");
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read the session key file '" + path + "'");
  std::string key(kLongestKeyFile + 1, '\0');
  in.read(&key[0], static_cast<std::streamsize>(key.size()));
  if (in.bad()) throw std::runtime_error("cannot read the session key file '" + path + "'");
  key.resize(static_cast<std::size_t>(in.gcount()));
  if (key.size() > kLongestKeyFile)
    throw std::runtime_error("the session key file '" + path + "' is larger than " +
                             std::to_string(kLongestKeyFile) + " bytes");
  if (!key.empty() && key.back() == '\n') key.pop_back();
  if (!key.empty() && key.back() == '\r') key.pop_back();
  if (key.size() < kMinSessionKeyBytes)
    throw std::runtime_error("the session key in '" + path + "' has " + std::to_string(key.size()) +
                             " bytes; it needs at least " + std::to_string(kMinSessionKeyBytes));
  return key;
}

}  // namespace DRAVHost
