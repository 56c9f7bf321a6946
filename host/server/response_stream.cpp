#include "host/server/response_stream.h"

#include "host/server/header_text.h"

#include <ostream>

#include <boost/beast/http/status.hpp>

#include <algorithm>

namespace DRAVHost {

namespace {

// A chunk's size line, as "%zx\r\n" would write it, without printf's format
// parsing (two of them took an eighth of a small call's bridge work).
constexpr std::size_t kSizeLineRoom = 2 * sizeof(std::size_t) + 2;
std::size_t writeSizeLine(std::size_t size, char* line) {
  char digits[2 * sizeof(std::size_t)];
  std::size_t count = 0;
  do {
    digits[count++] = "0123456789abcdef"[size & 0xF];
    size >>= 4;
  } while (size);
  std::size_t length = 0;
  while (count) line[length++] = digits[--count];
  line[length++] = '\r';
  line[length++] = '\n';
  return length;
}

}  // namespace

ResponseStream::ResponseStream(Channel& channel, const HostSettings& settings, unsigned requestVersion,
                               bool keepAlive, bool headOnly)
    : channel_(channel),
      settings_(settings),
      http11_(requestVersion >= 11),
      keepAlive_(keepAlive),
      headOnly_(headOnly),
      pace_(settings) {}

bool ResponseStream::setStatus(unsigned code, const std::string& reason) {
  if (headSent_ || code < 100 || code > 999 || !isHeaderSafe(reason)) return false;
  status_ = code;
  reason_ = reason;
  return true;
}

bool ResponseStream::addHeader(const std::string& name, const std::string& value) {
  if (headSent_ || name.empty() || !isHeaderSafe(name) || name.find(':') != std::string::npos ||
      !isHeaderSafe(value))
    return false;
  headers_.emplace_back(name, value);
  return true;
}

bool ResponseStream::setContentType(const std::string& type) {
  if (headSent_ || !isHeaderSafe(type)) return false;
  contentType_ = type;
  return true;
}

bool ResponseStream::setBuffering(bool on) {
  if (headSent_ && on != buffering_) return false;
  buffering_ = on;
  return true;
}

void ResponseStream::write(const void* data, std::size_t size) {
  if (finished_) throw std::logic_error("the response is complete");
  if (size == 0) return;
  if (buffering_) {
    if (memory_ && size > memory_->answerAllowance() - std::min<std::uint64_t>(buffered_.size(), memory_->answerAllowance())) {
      memoryExceeded_ = true;
      throw ResponseTooLarge("buffered output passes the call's memory budget of " + std::to_string(memory_->share()) +
                             " bytes");
    }
    if (size > settings_.responseBufferLimit - buffered_.size())
      throw ResponseTooLarge("buffered output passes the limit of " + std::to_string(settings_.responseBufferLimit) +
                             " bytes");
    const auto* bytes = static_cast<const unsigned char*>(data);
    buffered_.insert(buffered_.end(), bytes, bytes + size);
    return;
  }
  // Likely followed at once by more (or the end): the channel may hold it a moment.
  if (!headSent_) return startStreaming(data, size, true);
  sendChunk(data, size, true);
}

void ResponseStream::flush() {
  if (finished_ || (headSent_ && buffered_.empty())) return;
  std::vector<unsigned char> pending;
  pending.swap(buffered_);
  if (!headSent_) return startStreaming(pending.data(), pending.size(), false);
  sendChunk(pending.data(), pending.size(), false);
}

bool ResponseStream::clear() {
  if (!buffering_) return false;
  buffered_.clear();
  return true;
}

void ResponseStream::finish() {
  if (finished_) return;
  finished_ = true;
  if (!headSent_) {
    settleKeepAlive();
    const std::string head = headText(buffered_.size());
    headSent_ = true;
    const ConstPiece pieces[] = {{head.data(), head.size()}, {buffered_.data(), headOnly_ ? 0 : buffered_.size()}};
    send(pieces, 2, false);
    delivered_ = true;
    return;
  }
  if (!buffered_.empty()) sendChunk(buffered_.data(), buffered_.size(), true);
  // The last chunk, with whatever the channel still holds.
  const ConstPiece last{"0\r\n\r\n", chunked_ && !headOnly_ ? 5u : 0u};
  send(&last, 1, false);
  channel_.answerEndsWithConnection(false);
  delivered_ = true;
}

bool ResponseStream::sendText(unsigned code, const std::string& message,
                              const std::vector<std::pair<std::string, std::string>>& headers) {
  if (headSent_) return false;
  status_ = code;
  reason_ = reasonFor(code);
  contentType_ = "text/plain; charset=utf-8";
  headers_ = headers;
  headers_.emplace_back("X-Content-Type-Options", "nosniff");
  // The host's own text, told from a proxy's page (proxies drop Server).
  headers_.emplace_back("DRAVHost", "dravbridge");
  buffering_ = true;
  buffered_.assign(message.begin(), message.end());
  buffered_.push_back('\n');
  finish();
  return true;
}

void ResponseStream::sendContinue(Channel& channel, std::chrono::milliseconds timeout) {
  static const char kContinue[] = "HTTP/1.1 100 Continue\r\n\r\n";
  const ConstPiece piece{kContinue, sizeof kContinue - 1};
  channel.writeAll(&piece, 1, timeout);
}

std::string ResponseStream::reasonFor(unsigned code) {
  const auto text = boost::beast::http::obsolete_reason(static_cast<boost::beast::http::status>(code));
  return text.empty() || text == "<unknown-status>" ? std::string("Unknown") : std::string(text);
}

void ResponseStream::startStreaming(const void* data, std::size_t size, bool soon) {
  chunked_ = http11_;
  if (!chunked_) keepAlive_ = false;  // an HTTP/1.0 client reads the body up to the connection's end
  channel_.answerEndsWithConnection(!chunked_ && !headOnly_);
  settleKeepAlive();
  const std::string head = headText(std::nullopt);
  headSent_ = true;
  // The head and the first piece leave together: one write, one segment.
  char line[kSizeLineRoom];
  const std::size_t length = chunked_ ? writeSizeLine(size, line) : 0;
  const ConstPiece pieces[] = {{head.data(), head.size()},
                               {line, length},
                               {data, size},
                               {"\r\n", chunked_ ? 2u : 0u}};
  send(pieces, size && !headOnly_ ? 4 : 1, soon);
}

std::string ResponseStream::headText(std::optional<std::size_t> contentLength) const {
  // Built in one piece of room, without a temporary per line.
  std::size_t size = 160 + reason_.size() + contentType_.size();
  for (const auto& h : headers_) size += h.first.size() + h.second.size() + 4;
  std::string head;
  head.reserve(size);
  head.append("HTTP/1.1 ").append(std::to_string(status_)).append(" ").append(reason_).append("\r\n");
  head.append("Server: dravbridge\r\n");
  head.append("Content-Type: ").append(contentType_).append("\r\n");
  for (const auto& h : headers_) head.append(h.first).append(": ").append(h.second).append("\r\n");
  if (contentLength) head.append("Content-Length: ").append(std::to_string(*contentLength)).append("\r\n");
  else if (chunked_) head += "Transfer-Encoding: chunked\r\n";
  if (!keepAlive_) head += "Connection: close\r\n";
  else if (!http11_) head += "Connection: keep-alive\r\n";
  head += "\r\n";
  return head;
}

void ResponseStream::sendChunk(const void* data, std::size_t size, bool soon) {
  if (size == 0 || headOnly_) return;  // an empty chunk would end the body
  if (!chunked_) {
    const ConstPiece piece{data, size};
    send(&piece, 1, soon);
    return;
  }
  char line[kSizeLineRoom];
  const std::size_t length = writeSizeLine(size, line);
  const ConstPiece pieces[] = {{line, length}, {data, size}, {"\r\n", 2}};
  send(pieces, 3, soon);
}

void ResponseStream::send(const ConstPiece* pieces, std::size_t count, bool soon) {
  std::uint64_t size = 0;
  for (std::size_t i = 0; i < count; ++i) size += pieces[i].size;
  if (sent_ == 0) pace_.start();
  if (soon) channel_.writeSoon(pieces, count, pace_.timeLeft(sent_ + size));
  else channel_.writeAll(pieces, count, pace_.timeLeft(sent_ + size));
  sent_ += size;
}

}  // namespace DRAVHost
