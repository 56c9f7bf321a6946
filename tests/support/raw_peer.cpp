#ifndef _WIN32

#include "support/raw_peer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <stdexcept>
#include <strings.h>

namespace drav_test {

RawPeer::RawPeer(Handler handler) : handler_(std::move(handler)) {
  listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (listener_ < 0 || ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(listener_, 16) != 0 || ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0)
    throw std::runtime_error("raw peer: no listener on 127.0.0.1");
  port_ = ntohs(address.sin_port);
  acceptor_ = std::thread([this] { acceptLoop(); });
}

RawPeer::~RawPeer() {
  closeListener();
  std::lock_guard<std::mutex> lock(mutex_);
  for (std::thread& worker : workers_) worker.join();
}

std::string RawPeer::url(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(port_) + path;
}

void RawPeer::closeListener() {
  // From a handler or the test's thread, as often as they like.
  std::call_once(closed_, [this] {
    stopping_ = true;
    acceptor_.join();  // the acceptor closes the listener as it leaves
  });
}

void RawPeer::acceptLoop() {
  while (!stopping_) {
    pollfd ready{listener_, POLLIN, 0};
    if (::poll(&ready, 1, 20) <= 0) continue;
    const int socket = ::accept(listener_, nullptr, nullptr);
    if (socket < 0) continue;
    const unsigned number = ++accepted_;
    std::lock_guard<std::mutex> lock(mutex_);
    workers_.emplace_back([this, socket, number] {
      handler_(socket, number);
      ::close(socket);
    });
  }
  ::close(listener_);
}

std::string RawPeer::readRequest(int socket, unsigned timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  std::string bytes;
  std::size_t wanted = std::string::npos;  // head and body, once the head is known
  char buffer[4096];
  while (bytes.size() < wanted && bytes.size() < (1u << 20)) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    pollfd ready{socket, POLLIN, 0};
    if (left.count() <= 0 || ::poll(&ready, 1, static_cast<int>(left.count())) <= 0) return "";
    const ssize_t n = ::recv(socket, buffer, sizeof buffer, 0);
    if (n <= 0) return "";
    bytes.append(buffer, static_cast<std::size_t>(n));
    const std::size_t end = bytes.find("\r\n\r\n");
    if (wanted == std::string::npos && end != std::string::npos) {
      std::size_t body = 0;
      for (std::size_t at = bytes.find("\r\n"); at < end; at = bytes.find("\r\n", at + 2)) {
        if (strncasecmp(bytes.c_str() + at + 2, "Content-Length:", 15) == 0)
          body = std::strtoull(bytes.c_str() + at + 17, nullptr, 10);
      }
      wanted = end + 4 + body;
    }
  }
  return bytes;
}

void RawPeer::sendAll(int socket, const std::string& bytes) {
  for (std::size_t at = 0; at < bytes.size();) {
    const ssize_t n = ::send(socket, bytes.data() + at, bytes.size() - at, MSG_NOSIGNAL);
    if (n <= 0) return;
    at += static_cast<std::size_t>(n);
  }
}

void RawPeer::resetOnClose(int socket) {
  const linger abrupt{1, 0};
  ::setsockopt(socket, SOL_SOCKET, SO_LINGER, &abrupt, sizeof abrupt);
}

}  // namespace drav_test

#endif  // _WIN32
