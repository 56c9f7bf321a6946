// Text from a peer (a client's path, a server's error page, a URL a server
// handed out) made safe to write into a log line, a trace or an exception
// message: printable ASCII only, and bounded, so that no peer can break,
// forge or flood a line. Internal.
#pragma once

#include <cstddef>
#include <string>

namespace DRAV {
namespace detail {

// A field's characters as written, the mark of a cut included.
constexpr std::size_t kLogFieldLimit = 256;

// What becomes of bytes above 0x7E: escaped (a log line stays ASCII), or
// kept as they are (UTF-8 text shown on a terminal).
enum class NonAscii { Escaped, Kept };

// `text` with \" \\ and \xHH for quotes, backslashes, control characters and
// DEL (and bytes above 0x7E unless kept). Past `limit` characters (at least
// 4) it is cut after a whole character and ends in \... , which escaping
// never writes.
std::string escapeLogField(const std::string& text, std::size_t limit = kLogFieldLimit,
                           NonAscii nonAscii = NonAscii::Escaped);

// The same for text shown to a person (a message, a terminal): UTF-8 kept,
// no bound unless given.
inline std::string escapeShownText(const std::string& text, std::size_t limit = std::string::npos) {
  return escapeLogField(text, limit, NonAscii::Kept);
}

}  // namespace detail
}  // namespace DRAV
