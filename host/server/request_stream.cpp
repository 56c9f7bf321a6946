#include "host/server/request_stream.h"

#include "host/server/header_text.h"

#include <boost/beast/http/basic_parser.hpp>
#include <boost/beast/http/error.hpp>

#include <algorithm>
#include <cstring>
#include <limits>

namespace DRAVHost {

namespace http = boost::beast::http;
using boost::system::error_code;

namespace {

using boost::beast::string_view;

// Room a head may keep for the next one: a usual head's twenty fields reuse
// it; one of thousands of fields (253 KiB) or of one long value gives it back.
constexpr std::size_t kKeptHeadRoom = 4096;

// What a string holds on the heap beyond itself (nothing while it is short).
std::size_t heapRoom(const std::string& text) {
  return text.capacity() > std::string().capacity() ? text.capacity() + 1 : 0;
}

// Beast's parser writing the head straight into the stream's RequestHead,
// whose strings keep their room from one request to the next, and the body
// straight into the reader's buffer: a request on a kept-alive connection
// allocates nothing here.
class HeadParser : public http::basic_parser<true> {
public:
  explicit HeadParser(RequestHead& head) : head_(head) {}

  // Where the body goes next, and the room left there; null: nowhere yet.
  void* bodyData = nullptr;
  std::size_t bodyRoom = 0;

private:
  void on_request_impl(http::verb, string_view method, string_view target, int version, error_code&) override {
    head_.method.assign(method.data(), method.size());
    head_.target.assign(target.data(), target.size());
    head_.version = static_cast<unsigned>(version);
  }
  void on_response_impl(int, string_view, int, error_code& ec) override { ec = http::error::bad_method; }
  void on_field_impl(http::field, string_view name, string_view value, error_code&) override {
    // A chunked body's trailer fields are dropped: they come after the body,
    // past every check of the head, so nothing may read them as the head's
    // (credentials, call headers, forwarding).
    if (is_header_done()) return;
    if (fields_ == head_.fields.size()) head_.fields.emplace_back();
    head_.fields[fields_].first.assign(name.data(), name.size());
    head_.fields[fields_].second.assign(value.data(), value.size());
    ++fields_;
  }
  void on_header_impl(error_code&) override { head_.fields.resize(fields_); }
  void on_body_init_impl(const boost::optional<std::uint64_t>&, error_code&) override {}
  std::size_t on_body_impl(string_view body, error_code& ec) override {
    if (!bodyData) {
      ec = http::error::need_buffer;
      return 0;
    }
    const std::size_t taken = std::min(body.size(), bodyRoom);
    std::memcpy(bodyData, body.data(), taken);
    bodyData = static_cast<char*>(bodyData) + taken;
    bodyRoom -= taken;
    if (taken < body.size()) ec = http::error::need_buffer;
    return taken;
  }
  void on_chunk_header_impl(std::uint64_t, string_view, error_code&) override {}
  std::size_t on_chunk_body_impl(std::uint64_t, string_view body, error_code& ec) override {
    return on_body_impl(body, ec);
  }
  void on_finish_impl(error_code&) override {}

  RequestHead& head_;
  std::size_t fields_ = 0;  // of this head so far
};

}  // namespace

struct RequestStream::Parser {
  std::optional<HeadParser> parser;
};

namespace {

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

bool isHostCharacter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
         std::strchr("-._~!$&'()*+,;=%", c) != nullptr;
}

// uri-host [":" port]: a name or IPv4 address, or an IPv6 literal in brackets.
// Empty is allowed: the target then has no authority.
bool isValidHost(const std::string& host) {
  std::size_t at = 0;
  if (!host.empty() && host[0] == '[') {
    const std::size_t close = host.find(']');
    if (close == std::string::npos || close == 1) return false;
    for (std::size_t i = 1; i < close; ++i)
      if (!std::isxdigit(static_cast<unsigned char>(host[i])) && host[i] != ':' && host[i] != '.') return false;
    at = close + 1;
  } else {
    while (at < host.size() && isHostCharacter(host[at])) ++at;
  }
  if (at == host.size()) return true;
  if (host[at] != ':') return false;
  return host.find_first_not_of("0123456789", at + 1) == std::string::npos && host.size() - at - 1 <= 5;
}

// The framing and addressing rules a head must keep beyond what the parser checks.
void checkHead(const RequestHead& head) {
  std::size_t hosts = 0;
  std::size_t codings = 0;
  const std::string* coding = nullptr;
  for (const auto& f : head.fields) {
    if (equalsIgnoringCase(f.first, "Host")) {
      ++hosts;
      if (!isValidHost(f.second)) throw HttpError(400, "the Host field is not a valid host");
    } else if (equalsIgnoringCase(f.first, "Transfer-Encoding")) {
      ++codings;
      coding = &f.second;
    }
  }
  if (hosts > 1) throw HttpError(400, "a request carries one Host field, not several");
  if (hosts == 0 && head.version >= 11) throw HttpError(400, "an HTTP/1.1 request carries a Host field");
  if (codings == 0) return;
  if (head.hasContentLength) throw HttpError(400, "a request carries Content-Length or Transfer-Encoding, not both");
  if (codings > 1 || !equalsIgnoringCase(*coding, "chunked"))
    throw HttpError(400, "the only transfer coding this host accepts is chunked");
}

}  // namespace

const std::string* RequestHead::field(std::string_view name) const {
  for (const auto& f : fields)
    if (equalsIgnoringCase(f.first, name)) return &f.second;
  return nullptr;
}

const std::string* RequestHead::soleField(std::string_view name) const {
  const std::string* value = nullptr;
  for (const auto& f : fields) {
    if (!equalsIgnoringCase(f.first, name)) continue;
    if (value && *value != f.second)
      throw HttpError(400, std::string(name) + " is sent twice with different values");
    value = &f.second;
  }
  return value;
}

std::string RequestHead::path() const {
  std::string_view rest = target;
  for (const std::string_view scheme : {"http://", "https://"}) {
    if (rest.size() < scheme.size() || !equalsIgnoringCase(rest.substr(0, scheme.size()), scheme)) continue;
    rest.remove_prefix(std::min(rest.size(), rest.find_first_of("/?#", scheme.size())));
    if (rest.empty() || rest[0] != '/') return "/";
    break;
  }
  return std::string(rest.substr(0, rest.find('?')));
}

std::size_t RequestHead::heldRoom() const {
  std::size_t room = heapRoom(method) + heapRoom(target) + fields.capacity() * sizeof(fields[0]);
  for (const auto& f : fields) room += heapRoom(f.first) + heapRoom(f.second);
  return room;
}

RequestStream::RequestStream(Channel& channel, const HostSettings& settings, BufferPool& pool)
    : channel_(channel), settings_(settings), pool_(pool), parser_(std::make_unique<Parser>()), bodyPace_(settings) {}

RequestStream::~RequestStream() { pool_.giveBack(std::move(input_)); }

void RequestStream::beginHead() {
  if (head_.heldRoom() > kKeptHeadRoom) head_ = RequestHead();
  auto& parser = parser_->parser.emplace(head_);
  parser.header_limit(settings_.headerLimit);
  // The body limit is set once the head is in: a head that declares a larger
  // body is then taken, and refused with its body read and dropped as any
  // refused upload's, where the parser would refuse it unread.
  // (Not none: Beast compares a declared length with it as an optional, to
  // which every number is larger than none.)
  parser.body_limit(std::numeric_limits<std::uint64_t>::max());
  headBegun_ = false;
  headAccepted_ = false;
  bodyAbandoned_ = false;
  bodyRead_ = 0;
}

bool RequestStream::parseHead() {
  auto& parser = *parser_->parser;
  if (!headBegun_) {
    // Empty lines before a request line are ignored.
    while (begin_ < end_ && (input_[begin_] == '\r' || input_[begin_] == '\n')) ++begin_;
    headBegun_ = begin_ < end_;
  }
  if (begin_ < end_) {
    error_code error;
    begin_ += parser.put(boost::asio::buffer(input_.get() + begin_, end_ - begin_), error);
    if (error && error != http::error::need_more) throw headError(error, settings_.headerLimit);
  }
  if (!parser.is_header_done()) return false;
  describeHead();
  checkHead(head_);
  headAccepted_ = true;
  bodyPace_.start();
  if (head_.hasContentLength && head_.contentLength > settings_.bodyLimit)
    throw headError(http::error::body_limit, settings_.headerLimit);
  parser.body_limit(std::uint64_t(settings_.bodyLimit));  // a chunked body's chunks count against it
  return true;
}

void RequestStream::describeHead() {
  const auto& parser = *parser_->parser;
  head_.keepAlive = parser.keep_alive();
  head_.chunked = parser.chunked();
  const auto length = parser.content_length();
  head_.hasContentLength = length.has_value();
  head_.contentLength = length.value_or(0);
  const std::string* expect = head_.field("Expect");
  // An HTTP/1.0 client's expectation is ignored: it would read an interim answer as the answer.
  head_.expectContinue = head_.version >= 11 && expect && equalsIgnoringCase(*expect, "100-continue");
}

std::pair<char*, std::size_t> RequestStream::inputSpace() {
  if (!input_) input_ = pool_.take();
  compact();
  if (end_ == pool_.bufferSize()) throw headError(http::error::header_limit, settings_.headerLimit);
  return {input_.get() + end_, pool_.bufferSize() - end_};
}

void RequestStream::received(std::size_t bytes) { end_ += bytes; }

void RequestStream::received(const char* data, std::size_t size) {
  while (size > 0) {
    const auto space = inputSpace();
    const std::size_t taken = std::min(size, space.second);
    std::memcpy(space.first, data, taken);
    received(taken);
    data += taken;
    size -= taken;
  }
}

void RequestStream::releaseInputIfEmpty() {
  if (begin_ != end_) return;
  begin_ = end_ = 0;
  pool_.giveBack(std::move(input_));
}

bool RequestStream::fill(std::chrono::milliseconds timeout) {
  const auto space = inputSpace();
  const std::size_t got = channel_.readSome(space.first, space.second, timeout);
  received(got);
  return got > 0;
}

bool RequestStream::bodyFitsInBuffer() const {
  return head_.hasContentLength && head_.contentLength <= pool_.bufferSize();
}

bool RequestStream::bodyHeld() const {
  return bodyComplete() || (head_.hasContentLength && end_ - begin_ >= head_.contentLength - bodyRead_);
}

TransferPace::Clock::time_point RequestStream::nextBodyByteDeadline() const {
  return bodyPace_.deadline(bodyRead_ + (end_ - begin_) + 1);
}

bool RequestStream::bodyComplete() const { return parser_->parser && parser_->parser->is_done(); }

std::size_t RequestStream::readBody(void* data, std::size_t size) {
  if (!parser_->parser || !parser_->parser->is_header_done() || size == 0) return 0;
  if (bodyFailure_) throw *bodyFailure_;
  auto& parser = *parser_->parser;
  parser.bodyData = data;
  parser.bodyRoom = size;
  try {
    while (!parser.is_done() && parser.bodyRoom > 0) {
      if (begin_ < end_) {
        error_code error;
        const std::size_t used = parser.put(boost::asio::buffer(input_.get() + begin_, end_ - begin_), error);
        begin_ += used;
        if (error == http::error::need_buffer) break;
        if (error && error != http::error::need_more) throw bodyError(error);
        if (used > 0 && !error) continue;
      }
      if (end_ - begin_ == pool_.bufferSize())
        throw HttpError(400, "malformed request body: a chunk header is too long");
      bool more = false;
      try {
        more = fill(bodyPace_.timeLeft(bodyRead_ + size - parser.bodyRoom + (end_ - begin_) + 1));
      } catch (const ChannelError& e) {
        if (!e.timedOut()) throw;
        throw HttpError(408, "the request body did not arrive in time");
      }
      if (!more) {
        throw HttpError(400, "the request body ended after " + std::to_string(bodyRead_ + size - parser.bodyRoom) +
                                 " bytes");
      }
    }
  } catch (const HttpError& e) {
    bodyFailure_ = e;
    parser.bodyData = nullptr;
    throw;
  } catch (...) {
    bodyFailure_ = HttpError(400, "the request body could not be read");
    parser.bodyData = nullptr;
    throw;
  }
  const std::size_t delivered = size - parser.bodyRoom;
  parser.bodyData = nullptr;
  parser.bodyRoom = 0;
  bodyRead_ += delivered;
  return delivered;
}

bool RequestStream::drainBody(std::uint64_t limit) {
  if (!parser_->parser || bodyFailure_) return false;
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

bool RequestStream::bodyUnfinished() const {
  return headAccepted_ && !bodyAbandoned_ && !bodyFailure_ && !bodyComplete();
}

std::optional<std::uint64_t> RequestStream::abandonBody() {
  std::optional<std::uint64_t> left;
  if (head_.hasContentLength && !bodyComplete()) {
    const std::uint64_t due = head_.contentLength - bodyRead_;
    left = due - std::min<std::uint64_t>(due, end_ - begin_);
  }
  bodyAbandoned_ = true;
  begin_ = end_;
  releaseInputIfEmpty();
  return left;
}

void RequestStream::compact() {
  if (begin_ == 0) return;
  std::memmove(input_.get(), input_.get() + begin_, end_ - begin_);
  end_ -= begin_;
  begin_ = 0;
}

}  // namespace DRAVHost
