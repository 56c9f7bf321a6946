#include "host/sso/basic_credentials.h"

#include "host/server/header_text.h"

#include <openssl/crypto.h>
#include <openssl/sha.h>

namespace DRAVHost {

namespace {

// The 6-bit value of a Base64 alphabet character; -1 for any other byte.
int sextetOf(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

}  // namespace

std::optional<std::string> decodeBase64Strictly(const std::string& text) {
  if (text.size() % 4 != 0) return std::nullopt;
  std::size_t padding = 0;
  while (padding < 2 && padding < text.size() && text[text.size() - 1 - padding] == '=') ++padding;
  std::string bytes;
  bytes.reserve(text.size() / 4 * 3);
  std::uint32_t group = 0;
  for (std::size_t i = 0; i < text.size() - padding; ++i) {
    const int sextet = sextetOf(text[i]);
    if (sextet < 0) return std::nullopt;
    group = (group << 6) | static_cast<std::uint32_t>(sextet);
    if (i % 4 == 3) {
      bytes += static_cast<char>(group >> 16);
      bytes += static_cast<char>(group >> 8);
      bytes += static_cast<char>(group);
      group = 0;
    }
  }
  if (padding == 2) {  // 12 bits for one byte: the low 4 must be zero
    if (group & 0xF) return std::nullopt;
    bytes += static_cast<char>(group >> 4);
  } else if (padding == 1) {  // 18 bits for two bytes: the low 2 must be zero
    if (group & 0x3) return std::nullopt;
    bytes += static_cast<char>(group >> 10);
    bytes += static_cast<char>(group >> 2);
  }
  return bytes;
}

std::optional<BasicCredentials> basicCredentialsOf(const std::string& authorization) {
  const std::string value = trimBlanks(authorization);
  const auto blank = value.find(' ');
  if (blank == std::string::npos || !equalsIgnoringCase(value.substr(0, blank), "Basic")) return std::nullopt;
  const auto decoded = decodeBase64Strictly(trimBlanks(value.substr(blank + 1)));
  if (!decoded) return std::nullopt;
  const auto colon = decoded->find(':');
  if (colon == std::string::npos) return std::nullopt;
  return BasicCredentials{decoded->substr(0, colon), decoded->substr(colon + 1)};
}

bool equalInConstantTime(const std::string& a, const std::string& b) {
  // Digests of equal length make the comparison's time independent of both
  // lengths; equal digests of different texts are out of reach.
  unsigned char digestA[SHA256_DIGEST_LENGTH];
  unsigned char digestB[SHA256_DIGEST_LENGTH];
  SHA256(reinterpret_cast<const unsigned char*>(a.data()), a.size(), digestA);
  SHA256(reinterpret_cast<const unsigned char*>(b.data()), b.size(), digestB);
  return CRYPTO_memcmp(digestA, digestB, SHA256_DIGEST_LENGTH) == 0;
}

bool credentialsMatch(const BasicCredentials& given, const std::string& user, const std::string& password) {
  const bool userMatches = equalInConstantTime(given.user, user);
  const bool passwordMatches = equalInConstantTime(given.password, password);
  return userMatches && passwordMatches;
}

}  // namespace DRAVHost
