// Whether a request can reach a path the host serves. The host compares a
// request's path as it arrives (the target up to "?", neither decoded nor
// normalised), so a path served must be one a client sends as it stands.
// Not a URL parser.
#pragma once

#include <optional>
#include <string>

namespace DRAVHost {

// Why no request could name `path`, as a phrase that follows the path in a
// message ("holds a blank, ..."); nothing when one can: it starts with "/",
// holds only the characters of an RFC 3986 path, "%" before two hex digits
// only, and no "." or ".." segment (clients remove those before sending).
std::optional<std::string> pathFault(const std::string& path);

}  // namespace DRAVHost
