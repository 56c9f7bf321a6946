// An answer to a call with another HTTP status than 200, as a person should
// see it: who answered and what it says. The bridge host marks its own
// answers with the header "DRAVHost" (its text is then the reason:
// "no bridge at /x"); anything else answered on the way (a reverse proxy's
// 502 page, a web server's 404) is named as the server at host:port, with
// its status line and a page's title rather than its markup. All of it is
// escaped and bounded: the server chose it.
#pragma once

#include <drav/export.h>

#include <cstddef>
#include <string>

class DRAVHttpRequest;

// A non-200 answer as read: its status, where it came from and the start of
// its body; describe() makes the line a person reads.
struct DRAV_EXPORT DRAVErrorAnswer {
  // The header the host sets on its own answers.
  static constexpr const char* kHostHeader = "DRAVHost";
  // Bytes read beyond the shown limit, so that the shown text ends after a
  // whole character (the longest UTF-8 character, less its first byte, and
  // the byte that tells the text goes on).
  static constexpr std::size_t kReadBeyondLimit = 4;

  unsigned long httpCode = 0;
  std::string statusLine;   // "HTTP/1.1 502 Bad Gateway" as received
  std::string server;       // "127.0.0.1:8080": where the call went
  bool fromHost = false;    // the host's own answer (kHostHeader)
  std::string contentType;
  std::string body;         // the start of the body as received, without its last line ends

  // After a call of `request` answered with another status than 200: its
  // status line and headers, and the first `limit` + kReadBeyondLimit
  // bytes of its body, read in pieces of `readSize`. The rest of the body
  // is left unread.
  static DRAVErrorAnswer read(DRAVHttpRequest& request, std::size_t limit, unsigned long readSize);

  // One line, escaped, the body's part cut after `shown` characters:
  //   the host answered HTTP 404: no bridge at /bridges/inventroy
  //   the server at 127.0.0.1:8080 answered "HTTP/1.1 502 Bad Gateway" with a page titled "502 Bad Gateway"
  //   the server at 127.0.0.1:8080 answered "HTTP/1.1 400 Bad Request": <its text>
  std::string describe(std::size_t shown) const;
};
