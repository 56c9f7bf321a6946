// One accepted connection of the test server: a socket (optionally under
// TLS) with a read buffer, reading of HTTP/1.1 requests (headers, a body by
// Content-Length or chunked, streamed and never held beyond a bound) and
// writing of replies from a script entry. Used by http_test_server.cpp only.
#pragma once

#include "support/http_test_script.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

typedef struct ssl_st SSL;

namespace drav_test {

class TestConnection {
public:
  // Uses fd (the caller closes it after this object is gone) and takes
  // over ssl (may be null); stop is polled while waiting.
  TestConnection(int fd, SSL* ssl, const std::atomic<bool>& stop);
  ~TestConnection();  // ends TLS gracefully unless reset() ran
  TestConnection(const TestConnection&) = delete;
  TestConnection& operator=(const TestConnection&) = delete;

  // Reads the next request's line and headers into `request`. False at the
  // end of the connection, on stop, or when the head is malformed (then
  // `malformed` is set and the caller answers 400).
  bool readHead(RecordedRequest& request, bool& malformed);
  // Reads the body the head announced: its first `keep` bytes into
  // request.body, its size, and its crc32 when `checksum`. False when the
  // connection ends early or the framing is broken.
  bool readBody(RecordedRequest& request, std::size_t keep, bool checksum);
  bool write(const std::string& bytes);
  bool write(const unsigned char* bytes, std::size_t length);
  // Sends the reply for `request`; false when the connection must end.
  bool sendReply(const Reply& reply, const RecordedRequest& request);
  // Ends the connection: the socket's close will send a TCP reset.
  void reset();
  // Waits `ms`, in short steps so a stop is noticed; false when stopped.
  bool pause(unsigned ms);

private:
  long readSome(char* into, std::size_t room);
  bool fill();
  bool readLine(std::string& line);
  bool consumeBody(std::uint64_t length, RecordedRequest& request, std::size_t keep);
  void takeBody(const char* data, std::size_t n, RecordedRequest& request, std::size_t keep);
  bool sendBody(const Reply& reply, const std::string& body, std::uint64_t size);

  int fd_;
  SSL* ssl_;
  const std::atomic<bool>& stop_;
  std::unique_ptr<char[]> scratch_;
  std::string buffer_;  // bytes read but not yet used, from pos_ on
  std::size_t pos_ = 0;
  unsigned long crc_ = 0;
  bool checksum_ = true;
};

// The usual reason phrase of a status ("OK", "Unauthorized", ...).
const char* reasonPhrase(int status);

}  // namespace drav_test
