// Reading HTTP/1.1 requests from a channel: the head of each request, then
// its body piece by piece as the reader asks, never more than the reader's
// buffer at a time, with the host's limits on the head and the body. Bytes
// that arrive early belong to the next request on the connection. Not a
// response writer (response_stream.h). One thread uses a stream.
#pragma once

#include "host/channel.h"
#include "host/host_settings.h"

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace DRAVHost {

struct RequestHead {
  std::string method;
  std::string target;
  unsigned version = 11;  // 10 for HTTP/1.0, 11 for HTTP/1.1
  bool keepAlive = true;  // as the version and the Connection header say
  bool chunked = false;
  bool hasContentLength = false;
  std::uint64_t contentLength = 0;
  bool expectContinue = false;  // "Expect: 100-continue"
  std::vector<std::pair<std::string, std::string>> fields;  // in arrival order

  // The first value of the field `name` (any case); null when absent. Valid
  // while the head lives.
  const std::string* field(const std::string& name) const;
  // The target without its query.
  std::string path() const;
};

class RequestStream {
public:
  // Both must outlive the stream.
  RequestStream(Channel& channel, const HostSettings& settings);
  ~RequestStream();
  RequestStream(const RequestStream&) = delete;
  RequestStream& operator=(const RequestStream&) = delete;

  // Waits at most `firstByteTimeout` for the next request to begin, then
  // reads its head. False when the peer ended the connection or stayed idle
  // before a request began. A head the host refuses throws HttpError (400
  // malformed or not HTTP/1.x, 413 body too large, 431 head too large); a
  // failed read throws ChannelError. Either way the connection is done.
  bool readHead(std::chrono::milliseconds firstByteTimeout);
  // The head of the current request; valid until the next readHead.
  const RequestHead& head() const { return head_; }

  // Up to `size` bytes of the body into `data`, waiting until the buffer is
  // full or the body complete; 0 once the body is complete. A body that ends
  // early or is malformed throws HttpError(400); a failed read ChannelError.
  std::size_t readBody(void* data, std::size_t size);
  bool bodyComplete() const;
  std::uint64_t bodyBytesRead() const { return bodyRead_; }
  // Reads and drops the rest of the body when no more than `limit` bytes are
  // left of it. True when the body is complete afterwards; never throws.
  bool drainBody(std::uint64_t limit);

private:
  struct Parser;

  void compact();
  // Reads more bytes from the channel behind those held; false at the peer's end.
  bool fill(std::chrono::milliseconds timeout);

  Channel& channel_;
  const HostSettings& settings_;
  std::unique_ptr<Parser> parser_;
  RequestHead head_;
  std::vector<char> input_;
  std::size_t begin_ = 0;  // unparsed bytes are input_[begin_, end_)
  std::size_t end_ = 0;
  std::uint64_t bodyRead_ = 0;
  bool failed_ = false;    // a body read failed: no more reading on this connection
};

}  // namespace DRAVHost
