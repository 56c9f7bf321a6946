#include "host/server/header_text.h"

namespace DRAVHost {

std::string trimBlanks(const std::string& text) {
  const auto first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return std::string();
  return text.substr(first, text.find_last_not_of(" \t") - first + 1);
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
    const std::string pair = trimBlanks(cookieHeader.substr(start, end - start));
    const auto equals = pair.find('=');
    if (equals != std::string::npos && trimBlanks(pair.substr(0, equals)) == name)
      return trimBlanks(pair.substr(equals + 1));
    start = end + 1;
  }
  return std::nullopt;
}

bool isHeaderSafe(const std::string& text) { return text.find_first_of(std::string("\r\n\0", 3)) == std::string::npos; }

}  // namespace DRAVHost
