#include "support/http_test_auth.h"

#include <drav/config/base64.h>

#include <cstring>

namespace drav_test {
namespace {

const char kSignature[8] = {'N', 'T', 'L', 'M', 'S', 'S', 'P', '\0'};

std::uint32_t le32(const std::string& m, std::size_t at) {
  return static_cast<std::uint32_t>(static_cast<unsigned char>(m[at])) |
         static_cast<std::uint32_t>(static_cast<unsigned char>(m[at + 1])) << 8 |
         static_cast<std::uint32_t>(static_cast<unsigned char>(m[at + 2])) << 16 |
         static_cast<std::uint32_t>(static_cast<unsigned char>(m[at + 3])) << 24;
}

std::uint16_t le16(const std::string& m, std::size_t at) {
  return static_cast<std::uint16_t>(static_cast<unsigned char>(m[at]) |
                                    static_cast<unsigned char>(m[at + 1]) << 8);
}

void put32(std::string& m, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) m += static_cast<char>((v >> (8 * i)) & 0xFF);
}

void put16(std::string& m, std::uint16_t v) {
  m += static_cast<char>(v & 0xFF);
  m += static_cast<char>(v >> 8);
}

// The decoded message of an "NTLM <base64>" value; empty when not one.
std::string ntlmMessage(const std::string& authorization) {
  if (authorization.compare(0, 5, "NTLM ") != 0) return "";
  const std::string m = Base64::Codec().decode(authorization.substr(5));
  if (m.size() < 12 || std::memcmp(m.data(), kSignature, 8) != 0) return "";
  return m;
}

}  // namespace

bool basicMatches(const std::string& authorization, const std::string& user, const std::string& password) {
  return authorization == "Basic " + Base64::Codec().encode(user + ":" + password);
}

int ntlmMessageType(const std::string& authorization) {
  const std::string m = ntlmMessage(authorization);
  if (m.empty()) return 0;
  const std::uint32_t type = le32(m, 8);
  return type >= 1 && type <= 3 ? static_cast<int>(type) : 0;
}

std::string ntlmChallengeHeader() {
  // Unicode, NTLM key, target info: the flags a current client expects.
  const std::uint32_t flags = 0x00000001u | 0x00000200u | 0x00800000u;
  std::string m(kSignature, 8);
  put32(m, 2);
  put16(m, 0), put16(m, 0), put32(m, 48);  // empty target name
  put32(m, flags);
  m += std::string("\x01\x23\x45\x67\x89\xab\xcd\xef", 8);  // server challenge
  m += std::string(8, '\0');                                 // context
  put16(m, 4), put16(m, 4), put32(m, 48);                    // target info: just the end marker
  put32(m, 0);
  return "NTLM " + Base64::Codec().encode(m);
}

std::string ntlmUserName(const std::string& authorization) {
  const std::string m = ntlmMessage(authorization);
  if (m.size() < 64 || le32(m, 8) != 3) return "";
  const std::uint16_t length = le16(m, 36);
  const std::uint32_t offset = le32(m, 40);
  if (offset > m.size() || length > m.size() - offset) return "";
  const bool unicode = (le32(m, 60) & 1u) != 0;
  std::string name;
  if (!unicode) return m.substr(offset, length);
  if (length % 2 != 0) return "";
  for (std::size_t i = 0; i < length; i += 2) {
    const std::uint16_t unit = le16(m, offset + i);
    name += unit < 0x80 ? static_cast<char>(unit) : '?';
  }
  return name;
}

}  // namespace drav_test
