#include "host/channel.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/write.hpp>

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <type_traits>
#include <vector>

namespace DRAVHost {
namespace {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;
using boost::system::error_code;
using TlsStream = asio::ssl::stream<tcp::socket>;

// Dropped bytes after a close, at most: enough for a refused body in flight,
// not enough to let a peer hold the thread.
constexpr std::size_t kLingerBytes = 1024 * 1024;

// The outcome of one operation; shared with its handler so that a handler
// that runs late never writes into a finished call's stack.
struct Outcome {
  bool done = false;
  error_code error;
  std::size_t bytes = 0;
};

tcp protocolOf(int fd) {
  sockaddr_storage address{};
  socklen_t length = sizeof address;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0 && address.ss_family == AF_INET6)
    return tcp::v6();
  return tcp::v4();
}

template <typename Stream>
class AsioChannel : public Channel {
public:
  AsioChannel(int fd, asio::ssl::context* tls) : stream_(makeStream(tls)) {
    error_code ignored;
    socket().assign(protocolOf(fd), fd, ignored);
    if (ignored) ::close(fd);
    socket().set_option(tcp::no_delay(true), ignored);
  }

  void handshake(std::chrono::milliseconds timeout) override {
    if constexpr (std::is_same_v<Stream, TlsStream>) {
      const Outcome outcome = run(
          [this](auto handler) {
            stream_.async_handshake(asio::ssl::stream_base::server,
                                    [handler](const error_code& e) { handler(e, 0); });
          },
          timeout, "the TLS handshake");
      if (outcome.error) throw ChannelError("the TLS handshake failed: " + outcome.error.message(), false);
    }
  }

  std::size_t readSome(void* data, std::size_t size, std::chrono::milliseconds timeout) override {
    const Outcome outcome = run(
        [this, data, size](auto handler) { stream_.async_read_some(asio::buffer(data, size), handler); }, timeout,
        "reading");
    if (outcome.error == asio::error::eof || outcome.error == asio::ssl::error::stream_truncated) return 0;
    if (outcome.error) throw ChannelError("reading failed: " + outcome.error.message(), false);
    return outcome.bytes;
  }

  void writeAll(const ConstPiece* pieces, std::size_t count, std::chrono::milliseconds timeout) override {
    std::vector<asio::const_buffer> buffers;
    buffers.reserve(count);
    for (std::size_t i = 0; i < count; ++i) buffers.emplace_back(pieces[i].data, pieces[i].size);
    const Outcome outcome = run(
        [this, &buffers](auto handler) { asio::async_write(stream_, buffers, handler); }, timeout, "writing");
    if (outcome.error) throw ChannelError("writing failed: " + outcome.error.message(), false);
  }

  void close(std::chrono::milliseconds linger) override {
    try {
      const auto until = std::chrono::steady_clock::now() + linger;
      if constexpr (std::is_same_v<Stream, TlsStream>) {
        run([this](auto handler) { stream_.async_shutdown([handler](const error_code& e) { handler(e, 0); }); },
            linger, "closing TLS");
      }
      error_code ignored;
      socket().shutdown(tcp::socket::shutdown_send, ignored);
      dropUntilEnd(until);
    } catch (const ChannelError&) {
      // A peer that keeps sending or stays silent only shortens the linger.
    }
    error_code ignored;
    socket().close(ignored);
  }

  void interrupt() override {
    interrupted_ = true;
    asio::post(context_, [this] {
      error_code ignored;
      socket().close(ignored);
    });
  }

private:
  tcp::socket& socket() {
    if constexpr (std::is_same_v<Stream, TlsStream>) return stream_.next_layer();
    else return stream_;
  }

  Stream makeStream(asio::ssl::context* tls) {
    if constexpr (std::is_same_v<Stream, TlsStream>) return Stream(context_, *tls);
    else return Stream(context_);
  }

  // Runs the operation `start` begins on this channel's own context, for at
  // most `timeout`; an operation still pending then is cancelled.
  template <typename Start>
  Outcome run(Start start, std::chrono::milliseconds timeout, const char* what) {
    if (interrupted_) throw ChannelError(std::string(what) + ": the connection was closed by the host", false);
    auto outcome = std::make_shared<Outcome>();
    start([outcome](const error_code& error, std::size_t bytes) {
      outcome->done = true;
      outcome->error = error;
      outcome->bytes = bytes;
    });
    context_.restart();
    context_.run_for(timeout);
    if (!outcome->done) {
      error_code ignored;
      socket().cancel(ignored);
      context_.restart();
      context_.run_for(std::chrono::seconds(1));
      if (!outcome->done) socket().close(ignored);
      throw ChannelError(std::string(what) + " timed out", true);
    }
    if (interrupted_) throw ChannelError(std::string(what) + ": the connection was closed by the host", false);
    return *outcome;
  }

  void dropUntilEnd(std::chrono::steady_clock::time_point until) {
    std::vector<char> scratch(16 * 1024);
    for (std::size_t dropped = 0; dropped < kLingerBytes;) {
      const auto now = std::chrono::steady_clock::now();
      if (now >= until) return;
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - now);
      const Outcome outcome = run(
          [this, &scratch](auto handler) {
            socket().async_read_some(asio::buffer(scratch), handler);
          },
          std::max(left, std::chrono::milliseconds(1)), "draining");
      if (outcome.error || outcome.bytes == 0) return;
      dropped += outcome.bytes;
    }
  }

  asio::io_context context_;
  Stream stream_;
  std::atomic<bool> interrupted_{false};
};

}  // namespace

std::unique_ptr<Channel> openChannel(int fd, asio::ssl::context* tls) {
  if (tls) return std::make_unique<AsioChannel<TlsStream>>(fd, tls);
  return std::make_unique<AsioChannel<tcp::socket>>(fd, nullptr);
}

}  // namespace DRAVHost
