// A hostile or broken HTTP peer on 127.0.0.1: a listener on port 0 whose
// connections a test answers byte by byte, so that it can close, reset or
// stall at any point of an exchange, and stop listening (later connects are
// refused). Each accepted connection runs the test's handler on a thread of
// its own. POSIX hosts only.
#pragma once

#ifndef _WIN32

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace drav_test {

class RawPeer {
public:
  // `connection` counts from 1. The handler owns nothing: the socket is
  // closed after it returns (with a reset if it called resetOnClose).
  using Handler = std::function<void(int socket, unsigned connection)>;

  explicit RawPeer(Handler handler);
  ~RawPeer();
  RawPeer(const RawPeer&) = delete;
  RawPeer& operator=(const RawPeer&) = delete;

  unsigned short port() const { return port_; }
  std::string url(const std::string& path) const;
  unsigned connections() const { return accepted_; }
  // Stops listening: later connection attempts are refused.
  void closeListener();

  // One request's head and its Content-Length body; empty when the peer
  // closed first or nothing came within `timeoutMs`.
  static std::string readRequest(int socket, unsigned timeoutMs = 5000);
  static void sendAll(int socket, const std::string& bytes);
  // Makes the close that follows a reset (RST) instead of a FIN.
  static void resetOnClose(int socket);

private:
  void acceptLoop();

  Handler handler_;
  int listener_ = -1;
  unsigned short port_ = 0;
  std::atomic<bool> stopping_{false};
  std::once_flag closed_;
  std::atomic<unsigned> accepted_{0};
  std::mutex mutex_;
  std::vector<std::thread> workers_;
  std::thread acceptor_;
};

}  // namespace drav_test

#endif  // _WIN32
