#include "support/http_test_script.h"

#include <zlib.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <stdexcept>

namespace drav_test {
namespace {

bool sameName(const std::string& a, const std::string& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

// A prime period, so the pattern never lines up with power-of-two pieces.
constexpr std::size_t kPatternPeriod = 1048573;

const std::vector<unsigned char>& patternTable() {
  static const std::vector<unsigned char> table = [] {
    // Twice the period, so that any run up to one period is contiguous.
    std::vector<unsigned char> t(2 * kPatternPeriod);
    std::uint32_t x = 0x9E3779B9u;
    for (std::size_t i = 0; i < kPatternPeriod; ++i) {
      x ^= x << 13;
      x ^= x >> 17;
      x ^= x << 5;
      t[i] = t[i + kPatternPeriod] = static_cast<unsigned char>(x >> 11);
    }
    return t;
  }();
  return table;
}

void putField(std::string& out, const std::string& key, const std::string& value) {
  out += key;
  out += ' ';
  out += std::to_string(value.size());
  out += ':';
  out += value;
  out += '\n';
}

class FieldReader {
public:
  explicit FieldReader(const std::string& text) : text_(text) {}

  bool next(std::string& key, std::string& value) {
    if (pos_ == text_.size()) return false;
    const std::size_t blank = text_.find(' ', pos_);
    const std::size_t colon = blank == std::string::npos ? blank : text_.find(':', blank);
    if (colon == std::string::npos || colon - blank > 20) fail();
    key = text_.substr(pos_, blank - pos_);
    std::uint64_t length = 0;
    for (std::size_t i = blank + 1; i < colon; ++i) {
      if (!std::isdigit(static_cast<unsigned char>(text_[i]))) fail();
      length = length * 10 + static_cast<unsigned>(text_[i] - '0');
    }
    if (colon == blank + 1 || length > text_.size() - colon - 1 || colon + 1 + length >= text_.size() ||
        text_[colon + 1 + length] != '\n')
      fail();
    value = text_.substr(colon + 1, length);
    pos_ = colon + 2 + length;
    return true;
  }

private:
  [[noreturn]] static void fail() { throw std::runtime_error("malformed test server script"); }

  const std::string& text_;
  std::size_t pos_ = 0;
};

std::uint64_t toNumber(const std::string& text) {
  if (text.empty() || text.size() > 19 || !std::all_of(text.begin(), text.end(), ::isdigit))
    throw std::runtime_error("malformed number in test server script: " + text);
  return std::stoull(text);
}

std::int64_t toSigned(const std::string& text) {
  if (!text.empty() && text[0] == '-') return -static_cast<std::int64_t>(toNumber(text.substr(1)));
  return static_cast<std::int64_t>(toNumber(text));
}

HttpHeader toHeader(const std::string& line) {
  const std::size_t colon = line.find(": ");
  if (colon == std::string::npos) throw std::runtime_error("malformed header in test server script");
  return {line.substr(0, colon), line.substr(colon + 2)};
}

}  // namespace

std::string RecordedRequest::header(const std::string& name) const {
  for (const HttpHeader& h : headers)
    if (sameName(h.name, name)) return h.value;
  return "";
}

bool RecordedRequest::hasHeader(const std::string& name) const {
  return std::any_of(headers.begin(), headers.end(), [&](const HttpHeader& h) { return sameName(h.name, name); });
}

std::vector<std::string> RecordedRequest::headerLines() const {
  std::vector<std::string> lines;
  for (const HttpHeader& h : headers) lines.push_back(h.name + ": " + h.value);
  return lines;
}

unsigned char patternByte(std::uint64_t offset) { return patternTable()[offset % kPatternPeriod]; }

const unsigned char* patternRun(std::uint64_t offset) { return patternTable().data() + offset % kPatternPeriod; }

std::size_t patternRunLength(std::uint64_t) { return kPatternPeriod; }

std::uint32_t patternCrc(std::uint64_t size) {
  uLong crc = crc32(0L, Z_NULL, 0);
  for (std::uint64_t done = 0; done < size;) {
    const std::size_t run = static_cast<std::size_t>(std::min<std::uint64_t>(size - done, kPatternPeriod));
    crc = crc32(crc, patternRun(done), static_cast<uInt>(run));
    done += run;
  }
  return static_cast<std::uint32_t>(crc);
}

std::uint32_t crcOf(const std::string& bytes) {
  return static_cast<std::uint32_t>(
      crc32(crc32(0L, Z_NULL, 0), reinterpret_cast<const Bytef*>(bytes.data()), static_cast<uInt>(bytes.size())));
}

std::string encodeReply(const Reply& reply) {
  std::string out;
  putField(out, "status", std::to_string(reply.status));
  putField(out, "reason", reply.reason);
  for (const HttpHeader& h : reply.headers) putField(out, "header", h.name + ": " + h.value);
  putField(out, "body", reply.body);
  putField(out, "generated", std::to_string(reply.generatedBodySize));
  putField(out, "chunked", reply.chunked ? "1" : "0");
  putField(out, "echo", reply.echoBody ? "1" : "0");
  putField(out, "resetAfter", std::to_string(reply.resetAfterBodyBytes));
  putField(out, "resetBefore", reply.resetBeforeReply ? "1" : "0");
  putField(out, "delay", std::to_string(reply.delayMs));
  putField(out, "close", reply.closeAfter ? "1" : "0");
  putField(out, "closeBefore", reply.closeBeforeReply ? "1" : "0");
  putField(out, "closeUnannounced", reply.closeUnannounced ? "1" : "0");
  putField(out, "early", reply.answerBeforeBody ? "1" : "0");
  return out;
}

Reply decodeReply(const std::string& text) {
  Reply reply;
  FieldReader reader(text);
  std::string key, value;
  while (reader.next(key, value)) {
    if (key == "status") reply.status = static_cast<int>(toNumber(value) % 1000);
    else if (key == "reason") reply.reason = value;
    else if (key == "header") reply.headers.push_back(toHeader(value));
    else if (key == "body") reply.body = value;
    else if (key == "generated") reply.generatedBodySize = toNumber(value);
    else if (key == "chunked") reply.chunked = value == "1";
    else if (key == "echo") reply.echoBody = value == "1";
    else if (key == "resetAfter") reply.resetAfterBodyBytes = toSigned(value);
    else if (key == "resetBefore") reply.resetBeforeReply = value == "1";
    else if (key == "delay") reply.delayMs = static_cast<unsigned>(std::min<std::uint64_t>(toNumber(value), 600000));
    else if (key == "close") reply.closeAfter = value == "1";
    else if (key == "closeBefore") reply.closeBeforeReply = value == "1";
    else if (key == "closeUnannounced") reply.closeUnannounced = value == "1";
    else if (key == "early") reply.answerBeforeBody = value == "1";
    else throw std::runtime_error("unknown field in test server script: " + key);
  }
  return reply;
}

std::string encodeRequests(const std::vector<RecordedRequest>& requests) {
  std::string out;
  for (const RecordedRequest& r : requests) {
    putField(out, "request", r.method + " " + r.target + " " + r.version);
    for (const HttpHeader& h : r.headers) putField(out, "header", h.name + ": " + h.value);
    putField(out, "body", r.body);
    putField(out, "bodySize", std::to_string(r.bodySize));
    putField(out, "bodyCrc", std::to_string(r.bodyCrc));
    putField(out, "connection", std::to_string(r.connection));
  }
  return out;
}

std::vector<RecordedRequest> decodeRequests(const std::string& text) {
  std::vector<RecordedRequest> requests;
  FieldReader reader(text);
  std::string key, value;
  while (reader.next(key, value)) {
    if (key == "request") {
      const std::size_t a = value.find(' '), b = value.rfind(' ');
      if (a == std::string::npos || a == b) throw std::runtime_error("malformed request line in script");
      requests.push_back({});
      requests.back().method = value.substr(0, a);
      requests.back().target = value.substr(a + 1, b - a - 1);
      requests.back().version = value.substr(b + 1);
      continue;
    }
    if (requests.empty()) throw std::runtime_error("request field before any request: " + key);
    RecordedRequest& r = requests.back();
    if (key == "header") r.headers.push_back(toHeader(value));
    else if (key == "body") r.body = value;
    else if (key == "bodySize") r.bodySize = toNumber(value);
    else if (key == "bodyCrc") r.bodyCrc = static_cast<std::uint32_t>(toNumber(value));
    else if (key == "connection") r.connection = static_cast<unsigned>(toNumber(value));
    else throw std::runtime_error("unknown field in recorded requests: " + key);
  }
  return requests;
}

}  // namespace drav_test
