// Reading HTTP/1.1 requests from a connection: the head of each request, fed
// by whoever reads the socket (the host's asynchronous side, or fill()),
// then its body piece by piece as the reader asks, never more than the
// reader's buffer at a time, with the host's limits on the head and the
// body and a minimum rate for the body. Bytes that arrive early belong to
// the next request on the connection. The input buffer is borrowed from a
// pool while bytes are held. Not a response writer (response_stream.h).
// One thread at a time uses a stream.
#pragma once

#include <drav/host/bridge_handler.h>
#include "host/server/buffer_pool.h"
#include "host/server/channel.h"
#include <drav/host/host_settings.h>
#include "host/server/transfer_pace.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
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
  bool expectContinue = false;  // "Expect: 100-continue" of an HTTP/1.1 request
  std::vector<std::pair<std::string, std::string>> fields;  // in arrival order

  // The first value of the field `name` (any case); null when absent. Valid
  // while the head lives.
  const std::string* field(std::string_view name) const;
  // The value of the field `name` when every line of it carries the same
  // value; null when absent. HttpError 400 naming the field when two lines
  // differ: which one a proxy before the host read is anybody's guess.
  const std::string* soleField(std::string_view name) const;
  // The target's path without its query; of an absolute-form target
  // ("http://host/path"), the path after the authority ("/" when empty).
  std::string path() const;
  // The heap room the head's strings and field list hold (kept from one
  // request to the next).
  std::size_t heldRoom() const;
  // A HEAD request: its answer carries no body.
  bool isHead() const { return method == "HEAD"; }
};

class RequestStream {
public:
  // All three must outlive the stream.
  RequestStream(Channel& channel, const HostSettings& settings, BufferPool& pool);
  ~RequestStream();
  RequestStream(const RequestStream&) = delete;
  RequestStream& operator=(const RequestStream&) = delete;

  // Starts on the next request's head. The last head's room is kept for it
  // only while small, so that what a connection holds between requests does
  // not depend on what its last request looked like.
  void beginHead();
  // Parses the bytes held; true once the head is complete. A head the host
  // refuses throws HttpError (400 malformed, not HTTP/1.x, a Host field
  // missing, doubled or invalid, a transfer coding other than chunked or one
  // beside Content-Length; 413 body too large; 431 head too large); the
  // connection is then done, though the body a 413 refused is still to come
  // (bodyUnfinished()).
  bool parseHead();
  // True once a byte of the head has arrived (empty lines before a request
  // line do not count).
  bool headBegun() const { return headBegun_; }
  // The head of the current request; valid until the next beginHead.
  const RequestHead& head() const { return head_; }

  // Where the next bytes from the connection go (never empty: HttpError 431
  // when a head fills the buffer), then how many arrived there.
  std::pair<char*, std::size_t> inputSpace();
  void received(std::size_t bytes);
  // Takes `size` bytes read elsewhere (into a small buffer of the reader's,
  // while no input buffer was held) as arrived; HttpError 431 as inputSpace().
  void received(const char* data, std::size_t size);
  bool holdsInput() const { return begin_ < end_; }
  // Gives the input buffer back to the pool when it holds nothing.
  void releaseInputIfEmpty();
  // Reads more bytes from the channel, waiting at most `timeout`; false at
  // the peer's end. ChannelError when the read fails.
  bool fill(std::chrono::milliseconds timeout);

  // Whether the body (a Content-Length one) fits in the input buffer beside
  // the head, and whether it has all arrived.
  bool bodyFitsInBuffer() const;
  bool bodyHeld() const;
  // When the body's next byte must have arrived to keep the minimum rate.
  TransferPace::Clock::time_point nextBodyByteDeadline() const;

  // Up to `size` bytes of the body into `data`, waiting until the buffer is
  // full or the body complete; 0 once the body is complete. HttpError: 400
  // when the body ends early or is malformed, 408 when it does not keep the
  // minimum rate; ChannelError when the connection fails.
  std::size_t readBody(void* data, std::size_t size);
  bool bodyComplete() const;
  std::uint64_t bodyBytesRead() const { return bodyRead_; }
  // The first failure of a body read, whatever the reader made of it.
  const std::optional<HttpError>& bodyFailure() const { return bodyFailure_; }
  // Reads and drops the rest of the body when no more than `limit` bytes are
  // left of it. True when the body is complete afterwards; never throws.
  bool drainBody(std::uint64_t limit);
  // Whether some of an accepted head's body has still to arrive: it has
  // neither ended, nor failed, nor been abandoned.
  bool bodyUnfinished() const;
  // Gives up on reading the body: drops the input held (the body's, and
  // anything after it) and gives the buffer back. How many bytes of a
  // Content-Length body are still to arrive; nothing for a chunked one, whose
  // end is no longer looked for.
  std::optional<std::uint64_t> abandonBody();

private:
  struct Parser;

  void compact();
  void describeHead();

  Channel& channel_;
  const HostSettings& settings_;
  BufferPool& pool_;
  std::unique_ptr<Parser> parser_;
  RequestHead head_;
  std::unique_ptr<char[]> input_;  // from pool_ while bytes are held
  std::size_t begin_ = 0;          // unparsed bytes are input_[begin_, end_)
  std::size_t end_ = 0;
  bool headBegun_ = false;
  bool headAccepted_ = false;  // parsed and checked; its body may follow
  bool bodyAbandoned_ = false;
  std::uint64_t bodyRead_ = 0;
  TransferPace bodyPace_;
  std::optional<HttpError> bodyFailure_;  // no more reading on this connection once set
};

}  // namespace DRAVHost
