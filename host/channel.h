// One accepted connection as a byte channel whose every wait is bounded:
// plain TCP, or TLS over it. A read or write that does not finish within its
// time-out fails, and interrupt() (from any thread) makes the current and
// every later wait fail at once. Not an HTTP layer; apart from interrupt()
// one thread uses a channel.
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <stdexcept>
#include <string>

namespace boost {
namespace asio {
namespace ssl {
class context;
}  // namespace ssl
}  // namespace asio
}  // namespace boost

namespace DRAVHost {

// A read or write that failed, timed out or was interrupted. The channel is
// unusable afterwards.
class ChannelError : public std::runtime_error {
public:
  ChannelError(const std::string& message, bool timedOut) : std::runtime_error(message), timedOut_(timedOut) {}
  bool timedOut() const { return timedOut_; }

private:
  bool timedOut_;
};

// A piece of bytes to write; only read, and only during the write.
struct ConstPiece {
  const void* data;
  std::size_t size;
};

class Channel {
public:
  virtual ~Channel() = default;

  // TLS: runs the server handshake. Plain TCP: nothing.
  virtual void handshake(std::chrono::milliseconds timeout) = 0;
  // What has arrived, at least 1 and at most `size` bytes, into `data`; 0 when
  // the peer ended its side in order.
  virtual std::size_t readSome(void* data, std::size_t size, std::chrono::milliseconds timeout) = 0;
  // Every byte of the pieces, in order; `count` pieces of which none is owned.
  virtual void writeAll(const ConstPiece* pieces, std::size_t count, std::chrono::milliseconds timeout) = 0;
  // Ends the connection politely: TLS close, then the TCP send side; what the
  // peer still sends is read and dropped for at most `linger` (or 1 MiB) so
  // that an answer is not cut off by a reset. Never throws.
  virtual void close(std::chrono::milliseconds linger) = 0;
  // Thread-safe: fails the current wait and all later ones.
  virtual void interrupt() = 0;
};

// Takes the connected socket `fd` over (the channel closes it). With `tls`
// (which must outlive the channel) the channel speaks TLS once handshake()
// has run.
std::unique_ptr<Channel> openChannel(int fd, boost::asio::ssl::context* tls);

}  // namespace DRAVHost
