// The in-process server runs on POSIX hosts only; on Windows the tests reach
// a server running as a Linux process (support/http_test_remote.h).
#ifndef _WIN32

#include "support/http_test_connection.h"

#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <thread>

namespace drav_test {
namespace {

constexpr std::size_t kMaxHeadBytes = 64 * 1024;
// Large reads keep the server well ahead of a client streaming at GB/s.
constexpr std::size_t kReadPiece = 256 * 1024;

std::string lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

std::string trim(const std::string& s) {
  std::size_t a = 0, b = s.size();
  while (a < b && (s[a] == ' ' || s[a] == '\t')) ++a;
  while (b > a && (s[b - 1] == ' ' || s[b - 1] == '\t')) --b;
  return s.substr(a, b - a);
}

bool parseLength(const std::string& text, std::uint64_t& value) {
  if (text.empty() || text.size() > 18 || !std::all_of(text.begin(), text.end(), ::isdigit)) return false;
  value = std::stoull(text);
  return true;
}

}  // namespace

const char* reasonPhrase(int status) {
  switch (status) {
    case 100: return "Continue";
    case 200: return "OK";
    case 204: return "No Content";
    case 301: return "Moved Permanently";
    case 302: return "Found";
    case 400: return "Bad Request";
    case 401: return "Unauthorized";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 407: return "Proxy Authentication Required";
    case 431: return "Request Header Fields Too Large";
    case 500: return "Internal Server Error";
    case 503: return "Service Unavailable";
    default: return "Status";
  }
}

TestConnection::TestConnection(int fd, SSL* ssl, const std::atomic<bool>& stop)
    : fd_(fd), ssl_(ssl), stop_(stop), scratch_(new char[kReadPiece]) {}

TestConnection::~TestConnection() {
  if (ssl_) {
    if (fd_ >= 0) SSL_shutdown(ssl_);
    SSL_free(ssl_);
  }
}

void TestConnection::reset() {
  if (fd_ < 0) return;
  // The owner's close then sends a reset instead of an orderly end.
  struct linger hard = {1, 0};
  ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
  fd_ = -1;
}

bool TestConnection::pause(unsigned ms) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (std::chrono::steady_clock::now() < until) {
    if (stop_) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(std::min(ms, 10u)));
  }
  return !stop_;
}

long TestConnection::readSome(char* into, std::size_t room) {
  if (fd_ < 0) return -1;
  for (;;) {
    if (stop_) return -1;
    if (!ssl_ || SSL_pending(ssl_) == 0) {
      pollfd p = {fd_, POLLIN, 0};
      const int ready = ::poll(&p, 1, 100);
      if (ready == 0) continue;
      if (ready < 0) return -1;
    }
    if (ssl_) {
      const int n = SSL_read(ssl_, into, static_cast<int>(std::min<std::size_t>(room, 1 << 30)));
      if (n > 0) return n;
      const int error = SSL_get_error(ssl_, n);
      if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) continue;
      return error == SSL_ERROR_ZERO_RETURN ? 0 : -1;
    }
    const ssize_t n = ::recv(fd_, into, room, 0);
    if (n < 0 && errno == EINTR) continue;
    return n;
  }
}

bool TestConnection::fill() {
  if (pos_ > 0 && pos_ == buffer_.size()) buffer_.clear(), pos_ = 0;
  const long n = readSome(scratch_.get(), kReadPiece);
  if (n > 0) buffer_.append(scratch_.get(), static_cast<std::size_t>(n));
  return n > 0;
}

bool TestConnection::readLine(std::string& line) {
  for (;;) {
    const std::size_t end = buffer_.find("\r\n", pos_);
    if (end != std::string::npos) {
      line = buffer_.substr(pos_, end - pos_);
      pos_ = end + 2;
      return true;
    }
    if (buffer_.size() - pos_ > kMaxHeadBytes || !fill()) return false;
  }
}

bool TestConnection::readHead(RecordedRequest& request, bool& malformed) {
  malformed = false;
  request = RecordedRequest();
  if (pos_ > 0) buffer_.erase(0, pos_), pos_ = 0;
  // A TLS hello on a plain listener (https:// to an http port) has no line
  // end to wait for while the client waits for the server's hello: the
  // connection ends at once, as it would at a real plain server's parser.
  constexpr char kTlsHandshake = 0x16;
  if (!ssl_ && buffer_.empty() && !fill()) return false;
  if (!ssl_ && buffer_[0] == kTlsHandshake) return false;
  std::string line;
  if (!readLine(line)) {
    malformed = buffer_.size() > kMaxHeadBytes;
    return false;
  }
  const std::size_t a = line.find(' '), b = line.rfind(' ');
  if (a == std::string::npos || a == b || line.compare(b + 1, 5, "HTTP/") != 0) {
    malformed = true;
    return false;
  }
  request.method = line.substr(0, a);
  request.target = line.substr(a + 1, b - a - 1);
  request.version = line.substr(b + 1);
  std::size_t headBytes = line.size();
  for (;;) {
    if (!readLine(line)) {
      malformed = true;
      return false;
    }
    if (line.empty()) return true;
    headBytes += line.size() + 2;
    const std::size_t colon = line.find(':');
    if (colon == std::string::npos || colon == 0 || headBytes > kMaxHeadBytes) {
      malformed = true;
      return false;
    }
    request.headers.push_back({line.substr(0, colon), trim(line.substr(colon + 1))});
  }
}

void TestConnection::takeBody(const char* data, std::size_t n, RecordedRequest& request, std::size_t keep) {
  if (request.body.size() < keep) request.body.append(data, std::min(n, keep - request.body.size()));
  if (checksum_) crc_ = crc32(crc_, reinterpret_cast<const Bytef*>(data), static_cast<uInt>(n));
  request.bodySize += n;
}

bool TestConnection::consumeBody(std::uint64_t length, RecordedRequest& request, std::size_t keep) {
  while (length > 0) {
    std::size_t n;
    if (pos_ < buffer_.size()) {
      n = static_cast<std::size_t>(std::min<std::uint64_t>(length, buffer_.size() - pos_));
      takeBody(buffer_.data() + pos_, n, request, keep);
      pos_ += n;
    } else {
      // Straight from the socket: big bodies are never copied into the buffer.
      const long got = readSome(scratch_.get(), kReadPiece);
      if (got <= 0) return false;
      n = static_cast<std::size_t>(std::min<std::uint64_t>(length, static_cast<std::uint64_t>(got)));
      takeBody(scratch_.get(), n, request, keep);
      buffer_.assign(scratch_.get() + n, static_cast<std::size_t>(got) - n);
      pos_ = 0;
    }
    length -= n;
  }
  return true;
}

bool TestConnection::readBody(RecordedRequest& request, std::size_t keep, bool checksum) {
  crc_ = crc32(0L, Z_NULL, 0);
  checksum_ = checksum;
  const std::string encoding = lower(request.header("Transfer-Encoding"));
  bool ok = true;
  if (encoding.find("chunked") != std::string::npos) {
    for (;;) {
      std::string line;
      if (!readLine(line)) return false;
      const std::string size = line.substr(0, line.find(';'));
      if (size.empty() || size.size() > 15 || size.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
        return false;
      const std::uint64_t length = std::stoull(size, nullptr, 16);
      if (length == 0) {
        while (readLine(line) && !line.empty()) {}  // trailers
        break;
      }
      if (!consumeBody(length, request, keep) || !readLine(line) || !line.empty()) return false;
    }
  } else if (request.hasHeader("Content-Length")) {
    std::uint64_t length = 0;
    ok = parseLength(request.header("Content-Length"), length) && consumeBody(length, request, keep);
  }
  request.bodyCrc = static_cast<std::uint32_t>(crc_);
  return ok;
}

bool TestConnection::write(const unsigned char* bytes, std::size_t length) {
  while (length > 0) {
    if (fd_ < 0 || stop_) return false;
    long n;
    if (ssl_) {
      n = SSL_write(ssl_, bytes, static_cast<int>(std::min<std::size_t>(length, 1 << 30)));
      if (n <= 0) return false;
    } else {
      n = ::send(fd_, bytes, length, MSG_NOSIGNAL);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
    }
    bytes += n;
    length -= static_cast<std::size_t>(n);
  }
  return true;
}

bool TestConnection::write(const std::string& bytes) {
  return write(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
}

bool TestConnection::sendBody(const Reply& reply, const std::string& body, std::uint64_t size) {
  const std::uint64_t limit =
      reply.resetAfterBodyBytes >= 0 ? std::min<std::uint64_t>(size, static_cast<std::uint64_t>(reply.resetAfterBodyBytes))
                                     : size;
  for (std::uint64_t sent = 0; sent < limit;) {
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(limit - sent, kReadPiece));
    const unsigned char* data = body.empty() ? patternRun(sent)
                                             : reinterpret_cast<const unsigned char*>(body.data()) + sent;
    bool ok = true;
    if (reply.chunked) {
      char size[24];
      std::snprintf(size, sizeof size, "%zx\r\n", n);
      ok = write(size) && write(data, n) && write("\r\n");
    } else {
      ok = write(data, n);
    }
    if (!ok) return false;
    sent += n;
  }
  if (reply.resetAfterBodyBytes >= 0) {
    reset();
    return false;
  }
  return !reply.chunked || write("0\r\n\r\n");
}

bool TestConnection::sendReply(const Reply& reply, const RecordedRequest& request) {
  if (reply.delayMs > 0 && !pause(reply.delayMs)) return false;
  if (reply.resetBeforeReply) {
    reset();
    return false;
  }
  if (reply.closeBeforeReply) return false;
  const std::string& body = reply.echoBody ? request.body : reply.body;
  const std::uint64_t size = reply.echoBody || !reply.body.empty() ? body.size() : reply.generatedBodySize;
  std::string head = "HTTP/1.1 " + std::to_string(reply.status) + " " +
                     (reply.reason.empty() ? reasonPhrase(reply.status) : reply.reason) + "\r\n";
  head += reply.chunked ? "Transfer-Encoding: chunked\r\n" : "Content-Length: " + std::to_string(size) + "\r\n";
  const bool close = reply.closeAfter || lower(request.header("Connection")) == "close";
  if (close) head += "Connection: close\r\n";
  for (const HttpHeader& h : reply.headers) head += h.name + ": " + h.value + "\r\n";
  head += "\r\n";
  if (!write(head)) return false;
  if (request.method != "HEAD" && !sendBody(reply, body, size)) return false;
  return !close && !reply.closeUnannounced;
}

}  // namespace drav_test

#endif  // _WIN32
