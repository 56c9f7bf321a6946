#include "host/server/url_path.h"

#include <cctype>
#include <cstdio>
#include <cstring>

namespace DRAVHost {

namespace {

bool isPathCharacter(unsigned char c) {
  // unreserved, sub-delims, ":" and "@" (RFC 3986 pchar), and the "/" between segments
  return std::isalnum(c) || (c != 0 && std::strchr("-._~!$&'()*+,;=:@/", c));
}

bool isHex(char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; }

}  // namespace

std::optional<std::string> pathFault(const std::string& path) {
  if (path.empty() || path[0] != '/') return std::string("does not start with \"/\"");
  for (std::size_t i = 0; i < path.size(); ++i) {
    const auto c = static_cast<unsigned char>(path[i]);
    if (c == '?') return std::string("holds \"?\", where a request's path ends and its query begins");
    if (c == '#') return std::string("holds \"#\", which begins a fragment that clients never send");
    if (c == ' ') return std::string("holds a blank, which a request cannot carry (write it as %20)");
    if (c == '%') {
      if (i + 2 >= path.size() || !isHex(path[i + 1]) || !isHex(path[i + 2]))
        return std::string("holds \"%\" without two hex digits after it");
      continue;
    }
    if (!isPathCharacter(c)) {
      char code[8];
      std::snprintf(code, sizeof code, "%%%02X", c);
      return std::string("holds the byte 0x") + (code + 1) + ", which a request cannot carry (write it as " + code + ")";
    }
  }
  const std::string segments = path + "/";
  if (segments.find("/./") != std::string::npos || segments.find("/../") != std::string::npos)
    return std::string("holds a \".\" or \"..\" segment, which clients remove before they send a path");
  return std::nullopt;
}

}  // namespace DRAVHost
