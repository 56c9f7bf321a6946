#include "host_test_support.h"

#include <drav/config/base64.h>
#include <drav/serialization/input_stream.h>
#include <drav/serialization/output_stream.h>

#include <curl/curl.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <cerrno>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <stdexcept>

namespace hosttest {

namespace {

bool sameName(const std::string& a, const std::string& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

// Milliseconds left until `deadline`, at least 0.
int msLeft(std::chrono::steady_clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
  return static_cast<int>(std::max<long long>(0, left.count()));
}

// Parses a chunked body from `at`; false when it is not complete yet.
bool parseChunked(const std::string& bytes, std::size_t& at, HttpReply& reply) {
  for (int guard = 0; guard < 1000000; ++guard) {
    const std::size_t lineEnd = bytes.find("\r\n", at);
    if (lineEnd == std::string::npos) return false;
    const std::size_t size = std::stoul(bytes.substr(at, lineEnd - at), nullptr, 16);
    at = lineEnd + 2;
    if (size == 0) {
      const std::size_t end = bytes.find("\r\n", at);  // no trailers from this host
      if (end == std::string::npos) return false;
      at = end + 2;
      return true;
    }
    if (bytes.size() < at + size + 2) return false;
    reply.body.append(bytes, at, size);
    reply.chunkSizes.push_back(size);
    at += size + 2;
  }
  return false;
}

}  // namespace

std::size_t MemoryChannel::readSome(void* data, std::size_t size, std::chrono::milliseconds) {
  if (delivered_ == input_.size()) {
    if (endAfterInput) return 0;
    throw DRAVHost::ChannelError("reading timed out", true);
  }
  const std::size_t n = std::min({size, pieceSize_, input_.size() - delivered_});
  std::memcpy(data, input_.data() + delivered_, n);
  delivered_ += n;
  return n;
}

void MemoryChannel::writeAll(const DRAVHost::ConstPiece* pieces, std::size_t count, std::chrono::milliseconds) {
  if (failWrites) throw DRAVHost::ChannelError("writing failed: broken pipe", false);
  ++writeCalls_;
  for (std::size_t i = 0; i < count; ++i) written_.append(static_cast<const char*>(pieces[i].data), pieces[i].size);
}

DRAVHost::BufferPool& testBuffers() {
  static DRAVHost::BufferPool buffers(64 * 1024, 4);
  return buffers;
}

bool readHead(DRAVHost::RequestStream& in) {
  in.beginHead();
  while (!in.parseHead()) {
    bool more = false;
    try {
      more = in.fill(1s);
    } catch (const DRAVHost::ChannelError& e) {
      if (!in.headBegun() && e.timedOut()) return false;
      throw;
    }
    if (!more && !in.headBegun()) return false;
    if (!more) throw DRAVHost::HttpError(400, "the request head ended early");
  }
  return true;
}

std::string HttpReply::header(const std::string& name) const {
  for (const auto& h : headers)
    if (sameName(h.first, name)) return h.second;
  return std::string();
}

HttpReply parseReply(const std::string& bytes, std::size_t& used, bool toEnd) {
  HttpReply reply;
  used = 0;
  const std::size_t headEnd = bytes.find("\r\n\r\n");
  if (headEnd == std::string::npos || bytes.compare(0, 9, "HTTP/1.1 ") != 0) return reply;
  std::size_t lineStart = bytes.find("\r\n") + 2;
  while (lineStart < headEnd + 2) {
    const std::size_t lineEnd = bytes.find("\r\n", lineStart);
    const std::string line = bytes.substr(lineStart, lineEnd - lineStart);
    const std::size_t colon = line.find(':');
    reply.headers.emplace_back(line.substr(0, colon), line.substr(std::min(line.size(), colon + 2)));
    lineStart = lineEnd + 2;
  }
  std::size_t at = headEnd + 4;
  const int status = std::stoi(bytes.substr(9, 3));
  if (sameName(reply.header("Transfer-Encoding"), "chunked")) {
    reply.chunked = true;
    if (!parseChunked(bytes, at, reply)) return HttpReply();
  } else if (!reply.header("Content-Length").empty()) {
    const std::size_t length = std::stoul(reply.header("Content-Length"));
    if (bytes.size() < at + length) return HttpReply();
    reply.body = bytes.substr(at, length);
    at += length;
  } else if (status != 100 && !toEnd) {
    return HttpReply();
  } else if (status != 100) {
    reply.body = bytes.substr(at);
    at = bytes.size();
  }
  reply.status = status;
  used = at;
  return reply;
}

RawClient::RawClient(unsigned short port, const char* from, int receiveBuffer) {
  fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
  if (fd_ >= 0 && receiveBuffer > 0) ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
  sockaddr_in source{};
  source.sin_family = AF_INET;
  ::inet_pton(AF_INET, from, &source.sin_addr);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&source), sizeof source) != 0 ||
      ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
    throw std::runtime_error("cannot connect to port " + std::to_string(port));
}

RawClient::~RawClient() {
  if (fd_ >= 0) ::close(fd_);
}

void RawClient::send(const std::string& bytes) {
  if (sendWhileAccepted(bytes, 5s) != bytes.size()) throw std::runtime_error("the host took only part of a request");
}

std::size_t RawClient::sendWhileAccepted(const std::string& bytes, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    pollfd wait = {fd_, POLLOUT, 0};
    if (::poll(&wait, 1, msLeft(deadline)) <= 0) break;
    const ssize_t n = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) break;
    sent += static_cast<std::size_t>(n);
  }
  return sent;
}

void RawClient::shutdownSend() { ::shutdown(fd_, SHUT_WR); }

HttpReply RawClient::readReply(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  char buffer[65536];
  bool ended = false;
  while (true) {
    std::size_t used = 0;
    HttpReply reply = parseReply(pending_, used, ended);
    if (reply.status == 100) {  // interim answer: the real one follows
      pending_.erase(0, used);
      continue;
    }
    if (reply.status != 0 || ended) {
      pending_.erase(0, used);
      return reply;
    }
    // Take all that has arrived before parsing again: parsing after every
    // small read would make a large answer through a small window quadratic.
    bool first = true;
    for (int waitMs = msLeft(deadline); !ended; waitMs = 0, first = false) {
      pollfd wait = {fd_, POLLIN, 0};
      if (::poll(&wait, 1, waitMs) <= 0) {
        if (first) return HttpReply();  // nothing more arrived in time
        break;
      }
      const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
      if (n <= 0) ended = true;
      else pending_.append(buffer, static_cast<std::size_t>(n));
    }
  }
}

bool RawClient::receive(const std::string& text, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  char buffer[4096];
  while (pending_.size() < text.size()) {
    pollfd wait = {fd_, POLLIN, 0};
    if (::poll(&wait, 1, msLeft(deadline)) <= 0) return false;
    const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
    if (n <= 0) return false;
    pending_.append(buffer, static_cast<std::size_t>(n));
  }
  if (pending_.compare(0, text.size(), text) != 0) return false;
  pending_.erase(0, text.size());
  return true;
}

std::string RawClient::readUntilQuiet(std::chrono::milliseconds quiet) {
  std::string bytes;
  bytes.swap(pending_);
  char buffer[65536];
  for (int guard = 0; guard < 10000; ++guard) {
    pollfd wait = {fd_, POLLIN, 0};
    if (::poll(&wait, 1, static_cast<int>(quiet.count())) <= 0) break;
    const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
    if (n <= 0) break;
    bytes.append(buffer, static_cast<std::size_t>(n));
  }
  return bytes;
}

RawClient::PeerEnd RawClient::awaitEnd(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  char buffer[65536];
  while (true) {
    pollfd wait = {fd_, POLLIN, 0};
    if (::poll(&wait, 1, msLeft(deadline)) <= 0) return PeerEnd::None;
    const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
    if (n == 0) return PeerEnd::Orderly;
    if (n < 0) return errno == ECONNRESET ? PeerEnd::Reset : PeerEnd::Failed;
  }
}

bool RawClient::closedByPeer(std::chrono::milliseconds timeout) { return awaitEnd(timeout) != PeerEnd::None; }

bool RawClient::resetByPeer(std::chrono::milliseconds timeout) { return awaitEnd(timeout) == PeerEnd::Reset; }

std::string callRequest(const std::string& method, const std::string& args, std::uint32_t blobSize,
                        const std::string& extraHeaders, const std::string& path, const std::string& bridgeName) {
  return "POST " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nDRAVBridgeName: " + bridgeName +
         "\r\nDRAVMethodName: " + method +
         "\r\nDRAVMethodNeedSsoToken: no\r\nDRAVArgs-Size: " + std::to_string(args.size()) +
         "\r\nDRAVExtraBlob-Size: " + std::to_string(blobSize) + "\r\nContent-Length: " +
         std::to_string(args.size() + blobSize) + "\r\n" + extraHeaders + "\r\n" + args;
}

std::vector<std::string> callHeaders(const std::string& method, std::size_t argsSize, std::uint32_t blobSize,
                                     const char* streamingMode) {
  std::vector<std::string> headers = {"DRAVBridgeName: sample", "DRAVMethodName: " + method,
                                      "DRAVMethodNeedSsoToken: no", "DRAVArgs-Size: " + std::to_string(argsSize),
                                      "DRAVExtraBlob-Size: " + std::to_string(blobSize), "Expect:"};
  if (streamingMode) headers.push_back(std::string("DRAVStreamingMode: ") + streamingMode);
  return headers;
}

CurlClient::CurlClient() : curl_(curl_easy_init()) {
  if (!curl_) throw std::runtime_error("no curl handle");
}

CurlClient::~CurlClient() { curl_easy_cleanup(static_cast<CURL*>(curl_)); }

void CurlClient::setBasic(const std::string& user, const std::string& password) {
  CURL* curl = static_cast<CURL*>(curl_);
  curl_easy_setopt(curl, CURLOPT_HTTPAUTH, CURLAUTH_BASIC);
  curl_easy_setopt(curl, CURLOPT_USERNAME, user.c_str());
  curl_easy_setopt(curl, CURLOPT_PASSWORD, password.c_str());
}

void CurlClient::trust(const std::string& certFile) {
  curl_easy_setopt(static_cast<CURL*>(curl_), CURLOPT_CAINFO, certFile.c_str());
}

HttpReply CurlClient::post(const std::string& url, const std::vector<std::string>& headers, const std::string& body) {
  CURL* curl = static_cast<CURL*>(curl_);
  curl_easy_setopt(curl, CURLOPT_POST, 1L);
  curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.data());
  curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
  return perform(url, headers);
}

HttpReply CurlClient::get(const std::string& url, const std::vector<std::string>& headers) {
  curl_easy_setopt(static_cast<CURL*>(curl_), CURLOPT_HTTPGET, 1L);
  return perform(url, headers);
}

HttpReply CurlClient::perform(const std::string& url, const std::vector<std::string>& headers) {
  CURL* curl = static_cast<CURL*>(curl_);
  HttpReply reply;
  curl_slist* list = nullptr;
  for (const auto& h : headers) list = curl_slist_append(list, h.c_str());
  auto onBody = +[](char* data, size_t, size_t n, void* target) {
    static_cast<HttpReply*>(target)->body.append(data, n);
    return n;
  };
  auto onHeader = +[](char* data, size_t, size_t n, void* target) {
    std::string line(data, n);
    const auto colon = line.find(':');
    if (colon != std::string::npos) {
      const auto end = line.find_last_not_of("\r\n");
      static_cast<HttpReply*>(target)->headers.emplace_back(line.substr(0, colon), line.substr(colon + 2, end - colon - 1));
    }
    return n;
  };
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, list);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, onBody);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &reply);
  curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, onHeader);
  curl_easy_setopt(curl, CURLOPT_HEADERDATA, &reply);
  curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, 20000L);
  curl_easy_setopt(curl, CURLOPT_NOPROXY, "*");
  const CURLcode result = curl_easy_perform(curl);
  curl_slist_free_all(list);
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, nullptr);
  long code = 0;
  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &code);
  curl_easy_getinfo(curl, CURLINFO_NUM_CONNECTS, &connects_);
  reply.status = result == CURLE_OK ? static_cast<int>(code) : 0;
  reply.chunked = sameName(reply.header("Transfer-Encoding"), "chunked");
  return reply;
}

std::string encodeArgs(const DRAVArgs& args) {
  DRAVDataOutputStream out;
  args.writeObject(out);
  return std::string(reinterpret_cast<const char*>(out.getBuffer(0)), out.size());
}

namespace {

void readStatus(DRAVDataInputStream& in, BridgeAnswer& answer) {
  in.readString(answer.text1);
  in.readString(answer.text2);
  in.readString(answer.message);
  in.readLong(answer.code);
  if (in.remaining()) throw std::runtime_error(std::to_string(in.remaining()) + " bytes follow the status");
}

}  // namespace

BridgeAnswer decodeListAnswer(const std::string& body) {
  BridgeAnswer answer;
  DRAVDataInputStream in(reinterpret_cast<const unsigned char*>(body.data()), static_cast<unsigned long>(body.size()));
  answer.results.readObject(in);
  readStatus(in, answer);
  return answer;
}

BridgeAnswer decodeStreamedAnswer(const std::string& body) {
  BridgeAnswer answer;
  DRAVDataInputStream in(reinterpret_cast<const unsigned char*>(body.data()), static_cast<unsigned long>(body.size()));
  short tag = 0;
  in.readShort(tag);
  unsigned long size = 0;
  in.readLong(size);
  if (tag != 3 || size > in.remaining()) throw std::runtime_error("not a streamed binary value");
  answer.streamedSize = static_cast<std::uint32_t>(size);
  answer.streamed = body.substr(in.position(), size);
  const unsigned char* skipped = nullptr;
  in.readBlock(skipped, size, true);
  readStatus(in, answer);
  return answer;
}

long residentKiB() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line))
    if (line.compare(0, 6, "VmRSS:") == 0) return std::stol(line.substr(6));
  return 0;
}

DRAVHost::HostSettings testSettings() {
  DRAVHost::HostSettings settings;
  settings.headTimeout = 3s;
  settings.transferGrace = 3s;
  settings.idleTimeout = 2s;
  settings.stopGrace = 3s;
  return settings;
}

DRAVHost::HostSettings ssoTestSettings() {
  auto settings = testSettings();
  settings.sso.enabled = true;
  settings.sso.path = "/logon";
  settings.sso.user = "sam";
  settings.sso.password = "pw";
  settings.sso.requiredForBridges = true;
  return settings;
}

std::string basicAuthorization(const std::string& user, const std::string& password) {
  return "Authorization: Basic " + Base64::Codec().encode(user + ":" + password) + "\r\n";
}

SampleHost::SampleHost(DRAVHost::HostSettings settings, DRAVHost::SampleBridgeLimits limits)
    : host_(std::move(settings)) {
  host_.addBridge(kSamplePath, std::make_shared<DRAVHost::SampleBridge>(limits), "sample");
  host_.start();
}

bool normalCallServed(const SampleHost& host) {
  DRAVArgs args;
  args.addArg(7);
  const std::string body = encodeArgs(args);
  CurlClient client;
  const HttpReply reply = client.post(host.url(), callHeaders("echo", body.size()), body);
  return reply.status == 200 && decodeListAnswer(reply.body).results.getInt(0) == 7;
}

}  // namespace hosttest
