// A connection as a blocking byte channel for the thread that runs a
// request: every wait is bounded by the time-out it is given. Plain TCP is
// read and written on its socket directly; TLS goes through the stream the
// host's asynchronous side owns, waiting for each operation to complete.
// Either is cut from another thread by shutting its socket down. Not an HTTP
// layer; one thread uses a channel, except sendOverdue().
//
// Output that is to go out at once but may well be followed at once by more
// (the pieces of an unbuffered answer) can be written "soon": a plain
// channel holds it until the next write, a read that would wait, or the
// next sendOverdue() (which the host's watcher calls every few
// milliseconds while a call runs), whichever comes first, so that the
// pieces of a small answer leave in one segment yet none waits long.
#pragma once

#include "host/server/tls_socket.h"

#include <boost/asio/ip/tcp.hpp>

#include <chrono>
#include <cstddef>
#include <memory>
#include <stdexcept>
#include <string>

namespace DRAVHost {

using TlsStream = TlsSocket;

// A read or write that failed or timed out. The channel is unusable afterwards.
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

// Told when a channel's thread is about to wait for its peer, and when the
// wait is over, so that the request it runs can give up meanwhile what the
// peer's pace must not hold (see RequestSlots::stepAside). Called on the
// channel's thread; begin() and end() come in pairs.
class PeerWaits {
public:
  virtual ~PeerWaits() = default;
  // True when the request waits outside its running slot, having given it up.
  virtual bool begin() = 0;
  virtual void end() = 0;
};

class Channel {
public:
  virtual ~Channel() = default;

  // Waits for the peer are told to `waits` from now on (null: to nobody);
  // it must outlive them.
  void observeWaits(PeerWaits* waits) { waits_ = waits; }
  PeerWaits* waitsObserved() const { return waits_; }

  // What has arrived, at least 1 and at most `size` bytes, into `data`; 0 when
  // the peer ended its side in order.
  virtual std::size_t readSome(void* data, std::size_t size, std::chrono::milliseconds timeout) = 0;
  // Every byte of the pieces (after any held), in order; `count` pieces of which none is owned.
  virtual void writeAll(const ConstPiece* pieces, std::size_t count, std::chrono::milliseconds timeout) = 0;
  // The same, or held for a moment (see above); the pieces are copied when held.
  virtual void writeSoon(const ConstPiece* pieces, std::size_t count, std::chrono::milliseconds timeout) {
    writeAll(pieces, count, timeout);
  }
  // From any thread: sends what is held, as far as the socket takes it without
  // waiting; does nothing while the channel's own thread is writing.
  virtual void sendOverdue() {}

  // Set while an answer goes out whose body ends with the connection (an
  // HTTP/1.0 client's streamed answer): an orderly end would tell the client
  // that it came whole, so a connection that ends meanwhile is reset.
  void answerEndsWithConnection(bool on) { answerEndsWithConnection_ = on; }
  bool answerEndsWithConnection() const { return answerEndsWithConnection_; }

protected:
  PeerWaits* waits_ = nullptr;

private:
  bool answerEndsWithConnection_ = false;
};

// The socket `fd`, which stays the caller's; it must be in non-blocking mode.
std::unique_ptr<Channel> plainChannel(int fd);
// The stream, which stays the caller's and must outlive the channel. Its
// operations complete on the threads running its executor, of which one
// must be free while the channel waits.
std::unique_ptr<Channel> tlsChannel(TlsStream& stream);

}  // namespace DRAVHost
