// The vocabulary of the scripted HTTP test server: what a test asks it to
// answer (Reply), what it saw (RecordedRequest), and the plain text form in
// which both travel between a test and a server in another process.
//
// Not an HTTP library: just values and their transfer form.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace drav_test {

struct HttpHeader {
  std::string name;
  std::string value;
};

// One answer. A body is either given whole (`body`) or generated on the fly
// (`generatedBodySize` bytes of patternByte), so huge bodies are never held.
struct Reply {
  int status = 200;
  std::string reason;                 // empty: the usual text for the status
  std::vector<HttpHeader> headers;    // sent in order after Content-Length / Transfer-Encoding
  std::string body;
  std::uint64_t generatedBodySize = 0;  // used when body is empty
  bool chunked = false;                 // Transfer-Encoding: chunked instead of Content-Length
  bool echoBody = false;                // answer with the request's body (as far as it was kept)
  std::int64_t resetAfterBodyBytes = -1;  // >= 0: send that many body bytes, then reset the connection
  bool resetBeforeReply = false;          // reset the connection instead of answering
  bool closeBeforeReply = false;          // close the connection cleanly instead of answering
  unsigned delayMs = 0;                   // wait before answering
  bool closeAfter = false;                // "Connection: close", then close
  bool closeUnannounced = false;          // close after answering, without "Connection: close"
  bool answerBeforeBody = false;          // answer right after the request head, then close unread
                                          // (reset instead with resetAfterBodyBytes)

  Reply& header(const std::string& name, const std::string& value) {
    headers.push_back({name, value});
    return *this;
  }
};

// A request as it arrived: request line, headers in order, body.
struct RecordedRequest {
  std::string method;
  std::string target;
  std::string version;
  std::vector<HttpHeader> headers;
  std::string body;              // the first bytes only (see kKeptBodyBytes)
  std::uint64_t bodySize = 0;    // all of it
  std::uint32_t bodyCrc = 0;     // zlib crc32 of all of it
  unsigned connection = 0;       // 1-based number of the TCP connection it came on

  // First header of that name (case-insensitive); empty when absent.
  std::string header(const std::string& name) const;
  bool hasHeader(const std::string& name) const;
  // The header lines exactly as sent ("Name: value"), in order.
  std::vector<std::string> headerLines() const;
};

// Bodies longer than this are counted and checksummed, not kept.
constexpr std::size_t kKeptBodyBytes = 4u << 20;

enum class AuthScheme { None, Basic, Ntlm };

// The byte at `offset` of every generated body: a pattern with a long
// period, so shifted, lost or repeated pieces are noticed.
unsigned char patternByte(std::uint64_t offset);
// A contiguous run of the pattern starting at offset (at most
// patternRunLength(offset) bytes); the pointer stays valid for the process.
const unsigned char* patternRun(std::uint64_t offset);
std::size_t patternRunLength(std::uint64_t offset);
// crc32 of the first `size` pattern bytes.
std::uint32_t patternCrc(std::uint64_t size);
std::uint32_t crcOf(const std::string& bytes);

// Transfer form: "key length:bytes\n" fields. Decoding refuses malformed
// text with std::runtime_error.
std::string encodeReply(const Reply& reply);
Reply decodeReply(const std::string& text);
std::string encodeRequests(const std::vector<RecordedRequest>& requests);
std::vector<RecordedRequest> decodeRequests(const std::string& text);

}  // namespace drav_test
