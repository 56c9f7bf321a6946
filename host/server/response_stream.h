// Writing one HTTP/1.1 response to a channel. The status and headers may
// change until the first byte goes out; the body is either collected
// (buffering on: sent whole, with its length, when the response finishes or
// is flushed) or sent as it is written (buffering off: one chunk per write,
// chunked transfer encoding; the channel may hold a chunk for moments so
// that it leaves with the next one or the end, see Channel::writeSoon). Also the host's own short answers (errors,
// 100 Continue). The answer to a HEAD request is its head alone. Every
// write keeps the host's minimum rate. Not a request reader
// (request_stream.h). One thread.
#pragma once

#include "host/server/channel.h"
#include <drav/host/host_settings.h>
#include "host/server/memory_budget.h"
#include "host/server/transfer_pace.h"

#include <atomic>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace DRAVHost {

// Buffered output grew beyond the host's limit.
class ResponseTooLarge : public std::length_error {
public:
  using std::length_error::length_error;
};

class ResponseStream {
public:
  // Both must outlive the stream. `requestVersion` 10 or 11: an HTTP/1.0
  // client gets no chunks (the body then ends with the connection).
  // `headOnly`: the answer to a HEAD request, whose body is never sent.
  ResponseStream(Channel& channel, const HostSettings& settings, unsigned requestVersion, bool keepAlive,
                 bool headOnly = false);

  // Each returns false, changing nothing, once the head has gone out or for
  // text that cannot go into a header.
  bool setStatus(unsigned code, const std::string& reason);
  bool addHeader(const std::string& name, const std::string& value);
  bool setContentType(const std::string& type);
  bool setBuffering(bool on);

  unsigned statusCode() const { return status_; }
  const std::string& reason() const { return reason_; }
  const std::string& contentType() const { return contentType_; }
  bool buffering() const { return buffering_; }

  // Buffered output counts against `memory` from now on (null: only the
  // host's buffer limit applies); it must outlive the stream's writes.
  void countAgainst(const CallMemory* memory) { memory_ = memory; }
  // True once buffered output was refused for the call's memory share.
  bool memoryExceeded() const { return memoryExceeded_; }
  // Output held until the response is flushed or finished.
  std::size_t bufferedBytes() const { return buffered_.size(); }

  // Body bytes (only read, not kept). ResponseTooLarge when buffered output
  // would pass the limit or the call's memory share (nothing is added); ChannelError when the
  // connection fails; std::logic_error after finish().
  void write(const void* data, std::size_t size);
  // Sends what is buffered now; later output goes out chunked.
  void flush();
  // Drops buffered output; false when buffering is off.
  bool clear();
  // Completes the response (head and buffered output if not yet sent, then
  // the last chunk). ChannelError when the connection fails.
  void finish();
  // The connection ends after this response; the head says so if it has not gone out.
  void closeAfter() { keepAlive_ = false; }
  // The same once `flag` is set when the head goes out (the host's stop,
  // which may begin while the answer is made); `flag` must outlive the stream.
  void closeAfterOnce(const std::atomic<bool>* flag) { closeFlag_ = flag; }
  // A complete answer of the host's own: status, text/plain message (never
  // sniffed as anything else) and any extra headers; only before the head
  // has gone out (false otherwise).
  bool sendText(unsigned code, const std::string& message,
                const std::vector<std::pair<std::string, std::string>>& headers = {});

  bool headSent() const { return headSent_; }
  // Bytes written to the connection so far: head, body and chunk framing.
  std::uint64_t bytesSent() const { return sent_; }
  bool finished() const { return finished_; }
  // finish() wrote the whole answer out: it was not cut short.
  bool delivered() const { return delivered_; }
  bool keepAlive() const { return keepAlive_; }

  // "HTTP/1.1 100 Continue": the client may send the body it holds back.
  static void sendContinue(Channel& channel, std::chrono::milliseconds timeout);
  // The usual reason phrase of a status code ("Not Found"); "Unknown" when none.
  static std::string reasonFor(unsigned code);

private:
  // Sends the head of a body that goes out as it is written, with its first
  // piece. `soon`: the channel may hold it a moment (Channel::writeSoon).
  void startStreaming(const void* data, std::size_t size, bool soon);
  // With a length: the head of a body sent whole.
  std::string headText(std::optional<std::size_t> contentLength) const;
  // Whether the connection stays open, as the head about to go out says.
  void settleKeepAlive() {
    if (closeFlag_ && closeFlag_->load()) keepAlive_ = false;
  }
  void sendChunk(const void* data, std::size_t size, bool soon);
  // Writes the pieces within what the minimum rate allows for them.
  void send(const ConstPiece* pieces, std::size_t count, bool soon);

  Channel& channel_;
  const HostSettings& settings_;
  bool http11_;
  bool keepAlive_;
  bool headOnly_;
  TransferPace pace_;
  std::uint64_t sent_ = 0;
  const std::atomic<bool>* closeFlag_ = nullptr;
  const CallMemory* memory_ = nullptr;
  bool memoryExceeded_ = false;
  unsigned status_ = 200;
  std::string reason_ = "OK";
  std::string contentType_ = "application/octet-stream";
  std::vector<std::pair<std::string, std::string>> headers_;
  bool buffering_ = true;
  std::vector<unsigned char> buffered_;
  bool headSent_ = false;
  bool chunked_ = false;
  bool finished_ = false;
  bool delivered_ = false;
};

}  // namespace DRAVHost
