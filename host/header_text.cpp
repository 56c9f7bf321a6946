#include "host/header_text.h"

#include <drav/config/base64.h>

#include <cctype>

namespace DRAVHost {

namespace {

char lower(char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); }

std::string trim(const std::string& text) {
  const auto first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return std::string();
  return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

// The decoded "user:password" of a Basic Authorization value; nothing otherwise.
std::optional<std::string> basicPair(const std::string& authorization) {
  const std::string value = trim(authorization);
  const auto blank = value.find(' ');
  if (blank == std::string::npos || !equalsIgnoringCase(value.substr(0, blank), "Basic")) return std::nullopt;
  const std::string encoded = trim(value.substr(blank + 1));
  if (encoded.empty()) return std::nullopt;
  return Base64::Codec().decode(encoded);
}

bool sameText(const std::string& a, const std::string& b) {
  unsigned char difference = a.size() == b.size() ? 0 : 1;
  for (std::size_t i = 0; i < a.size(); ++i) difference |= a[i] ^ (i < b.size() ? b[i] : 0);
  return difference == 0;
}

}  // namespace

bool equalsIgnoringCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (lower(a[i]) != lower(b[i])) return false;
  return true;
}

std::optional<std::uint32_t> parseSize(const std::string& text) {
  if (text.empty() || text.size() > 10) return std::nullopt;
  std::uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<std::uint64_t>(c - '0');
  }
  if (value > 0x7FFFFFFF) return std::nullopt;
  return static_cast<std::uint32_t>(value);
}

std::optional<std::string> findCookie(const std::string& cookieHeader, const std::string& name) {
  std::size_t start = 0;
  while (start <= cookieHeader.size()) {
    std::size_t end = cookieHeader.find(';', start);
    if (end == std::string::npos) end = cookieHeader.size();
    const std::string pair = trim(cookieHeader.substr(start, end - start));
    const auto equals = pair.find('=');
    if (equals != std::string::npos && trim(pair.substr(0, equals)) == name) return trim(pair.substr(equals + 1));
    start = end + 1;
  }
  return std::nullopt;
}

bool basicCredentialsMatch(const std::string& authorization, const std::string& user, const std::string& password) {
  const auto pair = basicPair(authorization);
  return pair && sameText(*pair, user + ":" + password);
}

std::string basicUser(const std::string& authorization) {
  const auto pair = basicPair(authorization);
  if (!pair) return std::string();
  return pair->substr(0, pair->find(':'));
}

bool isHeaderSafe(const std::string& text) { return text.find_first_of(std::string("\r\n\0", 3)) == std::string::npos; }

}  // namespace DRAVHost
