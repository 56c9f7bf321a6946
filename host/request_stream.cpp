#include "host/request_stream.h"

#include "host/bridge_handler.h"
#include "host/header_text.h"

#include <boost/beast/http/buffer_body.hpp>
#include <boost/beast/http/error.hpp>
#include <boost/beast/http/parser.hpp>

#include <algorithm>
#include <cstring>
#include <optional>

namespace DRAVHost {

namespace http = boost::beast::http;
using boost::system::error_code;

struct RequestStream::Parser {
  std::optional<http::request_parser<http::buffer_body>> parser;
};

namespace {

// Enough for a full head at the default limit and large reads of a body.
constexpr std::size_t kInputSize = 64 * 1024;

HttpError headError(const error_code& error, std::uint32_t headerLimit) {
  if (error == http::error::header_limit)
    return HttpError(431, "the request head is larger than " + std::to_string(headerLimit) + " bytes");
  if (error == http::error::body_limit) return HttpError(413, "the request body is larger than this host accepts");
  return HttpError(400, "malformed request: " + error.message());
}

HttpError bodyError(const error_code& error) {
  if (error == http::error::body_limit) return HttpError(413, "the request body is larger than this host accepts");
  return HttpError(400, "malformed request body: " + error.message());
}

}  // namespace

const std::string* RequestHead::field(const std::string& name) const {
  for (const auto& f : fields)
    if (equalsIgnoringCase(f.first, name)) return &f.second;
  return nullptr;
}

std::string RequestHead::path() const { return target.substr(0, target.find('?')); }

RequestStream::RequestStream(Channel& channel, const HostSettings& settings)
    : channel_(channel),
      settings_(settings),
      parser_(std::make_unique<Parser>()),
      input_(std::max<std::size_t>(kInputSize, std::size_t(settings.headerLimit) + 4096)) {}

RequestStream::~RequestStream() = default;

bool RequestStream::readHead(std::chrono::milliseconds firstByteTimeout) {
  auto& parser = parser_->parser.emplace();
  parser.header_limit(settings_.headerLimit);
  parser.body_limit(settings_.bodyLimit);
  head_ = RequestHead();
  bodyRead_ = 0;
  bool begun = begin_ < end_;
  while (!parser.is_header_done()) {
    if (begin_ < end_) {
      error_code error;
      begin_ += parser.put(boost::asio::buffer(input_.data() + begin_, end_ - begin_), error);
      if (error && error != http::error::need_more) throw headError(error, settings_.headerLimit);
      if (parser.is_header_done()) break;
    }
    compact();
    if (end_ == input_.size()) throw headError(http::error::header_limit, settings_.headerLimit);
    try {
      if (!fill(begun ? settings_.ioTimeout : firstByteTimeout)) {
        if (!begun) return false;
        throw HttpError(400, "the request head ended early");
      }
    } catch (const ChannelError& e) {
      if (!begun && e.timedOut()) return false;  // an idle kept-alive connection
      throw;
    }
    begun = true;
  }

  const auto& message = parser.get();
  head_.method = std::string(message.method_string());
  head_.target = std::string(message.target());
  head_.version = message.version();
  head_.keepAlive = parser.keep_alive();
  head_.chunked = parser.chunked();
  if (const auto length = parser.content_length()) {
    head_.hasContentLength = true;
    head_.contentLength = *length;
  }
  for (const auto& f : message) head_.fields.emplace_back(std::string(f.name_string()), std::string(f.value()));
  const std::string* expect = head_.field("Expect");
  head_.expectContinue = expect && equalsIgnoringCase(*expect, "100-continue");
  return true;
}

bool RequestStream::bodyComplete() const { return parser_->parser && parser_->parser->is_done(); }

std::size_t RequestStream::readBody(void* data, std::size_t size) {
  if (!parser_->parser || !parser_->parser->is_header_done() || size == 0) return 0;
  if (failed_) throw HttpError(400, "the request body can no longer be read");
  auto& parser = *parser_->parser;
  auto& body = parser.get().body();
  body.data = data;
  body.size = size;
  body.more = true;
  try {
    while (!parser.is_done() && body.size > 0) {
      if (begin_ < end_) {
        error_code error;
        const std::size_t used = parser.put(boost::asio::buffer(input_.data() + begin_, end_ - begin_), error);
        begin_ += used;
        if (error == http::error::need_buffer) break;
        if (error && error != http::error::need_more) throw bodyError(error);
        if (used > 0 && !error) continue;
      }
      compact();
      if (end_ == input_.size()) throw HttpError(400, "malformed request body: a chunk header is too long");
      if (!fill(settings_.ioTimeout)) {
        error_code error;
        parser.put_eof(error);
        throw HttpError(400, "the request body ended after " + std::to_string(bodyRead_ + size - body.size) +
                                 " bytes");
      }
    }
  } catch (...) {
    failed_ = true;
    body.data = nullptr;
    throw;
  }
  const std::size_t delivered = size - body.size;
  body.data = nullptr;
  body.size = 0;
  bodyRead_ += delivered;
  return delivered;
}

bool RequestStream::drainBody(std::uint64_t limit) {
  if (!parser_->parser || failed_) return false;
  if (bodyComplete()) return true;
  if (head_.hasContentLength && head_.contentLength - bodyRead_ > limit) return false;
  char scratch[4096];
  const std::uint64_t start = bodyRead_;
  try {
    while (!bodyComplete() && bodyRead_ - start <= limit) {
      if (readBody(scratch, sizeof scratch) == 0) break;
    }
  } catch (const std::exception&) {
    return false;
  }
  return bodyComplete();
}

void RequestStream::compact() {
  if (begin_ == 0) return;
  std::memmove(input_.data(), input_.data() + begin_, end_ - begin_);
  end_ -= begin_;
  begin_ = 0;
}

bool RequestStream::fill(std::chrono::milliseconds timeout) {
  const std::size_t got = channel_.readSome(input_.data() + end_, input_.size() - end_, timeout);
  end_ += got;
  return got > 0;
}

}  // namespace DRAVHost
