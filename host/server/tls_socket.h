// A server's TLS connection run by OpenSSL straight on its socket: OpenSSL
// reads and writes the descriptor itself, and each operation that would
// block waits for the socket's readiness through Asio, then tries again.
// Asio's own stream runs OpenSSL over a pair of memory buffers and keeps
// two buffers of its own beside them, 68 KiB for every connection however
// idle; here nothing is held but OpenSSL's state, whose record buffers it
// gives back while a connection is idle (SSL_MODE_RELEASE_BUFFERS): an idle
// connection costs a few KiB. Operations complete on the socket's executor,
// never inside the call that starts them. One operation each way at a time;
// the object must outlive them. Not a client, and no renegotiation.
#pragma once

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/ssl/context.hpp>
#include <boost/asio/ssl/error.hpp>
#include <boost/asio/ssl/stream_base.hpp>

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstddef>
#include <memory>
#include <utility>

namespace DRAVHost {

class TlsSocket {
public:
  using executor_type = boost::asio::ip::tcp::socket::executor_type;
  using error_code = boost::system::error_code;

  // Takes the socket over; std::bad_alloc when OpenSSL cannot make the connection's state.
  TlsSocket(boost::asio::ip::tcp::socket socket, boost::asio::ssl::context& context);
  ~TlsSocket();
  TlsSocket(const TlsSocket&) = delete;
  TlsSocket& operator=(const TlsSocket&) = delete;

  boost::asio::ip::tcp::socket& next_layer() { return socket_; }
  executor_type get_executor() { return socket_.get_executor(); }
  SSL* native_handle() { return ssl_; }

  // The server's side of the handshake; the handler gets (error_code).
  // It begins once the client's hello has come: the handshake's buffers
  // (some 34 KiB) are not held for one that never says a word.
  template <typename Handler>
  void async_handshake(boost::asio::ssl::stream_base::handshake_type, Handler&& handler) {
    socket_.async_wait(boost::asio::ip::tcp::socket::wait_read,
                       [this, handler = std::forward<Handler>(handler)](const error_code& e) mutable {
                         if (e) return handler(e);
                         perform([this] { return SSL_accept(ssl_); },
                                 [handler = std::move(handler)](const error_code& e, std::size_t) mutable {
                                   handler(e);
                                 },
                                 true);
                       });
  }
  // Some bytes into the first buffer of `buffers`; (error_code, bytes). The
  // peer's orderly end is asio::error::eof, an end without close_notify
  // asio::ssl::error::stream_truncated.
  // (The handlers are taken by reference: a composed operation, as
  // boost::asio::async_write, hands itself over as the handler in the same
  // call that hands over buffers it holds, and must not be moved from first.)
  template <typename Buffers, typename Handler>
  void async_read_some(const Buffers& buffers, Handler&& handler) {
    const auto buffer = first<boost::asio::mutable_buffer>(buffers);
    if (buffer.size() == 0) return nothingToDo(std::forward<Handler>(handler));
    perform([this, buffer] { return SSL_read(ssl_, buffer.data(), clamped(buffer.size())); },
            std::forward<Handler>(handler));
  }
  // Some bytes of the first buffer of `buffers`; (error_code, bytes). What
  // boost::asio::async_write needs to write them all.
  template <typename Buffers, typename Handler>
  void async_write_some(const Buffers& buffers, Handler&& handler) {
    const auto buffer = first<boost::asio::const_buffer>(buffers);
    if (buffer.size() == 0) return nothingToDo(std::forward<Handler>(handler));
    if (buffer.size() >= kRecord || boost::asio::buffer_size(buffers) == buffer.size()) {
      return perform([this, buffer] { return SSL_write(ssl_, buffer.data(), clamped(buffer.size())); },
                     std::forward<Handler>(handler));
    }
    // Small pieces (a head, a chunk's size line, its data) go out gathered
    // into one record, not a record each: each record costs its own
    // encryption and framing. The gathered bytes are held only while they go.
    const std::size_t size = std::min(kRecord, boost::asio::buffer_size(buffers));
    gathered_.reset(new char[size]);  // not cleared: every byte is copied in
    boost::asio::buffer_copy(boost::asio::buffer(gathered_.get(), size), buffers);
    perform([this, size] { return SSL_write(ssl_, gathered_.get(), clamped(size)); },
            [this, handler = std::forward<Handler>(handler)](const error_code& e, std::size_t bytes) mutable {
              gathered_.reset();
              handler(e, bytes);
            });
  }
  // Sends close_notify (without waiting for the peer's); (error_code).
  template <typename Handler>
  void async_shutdown(Handler&& handler) {
    perform([this] { return SSL_shutdown(ssl_) >= 0 ? 1 : -1; },
            [handler = std::forward<Handler>(handler)](const error_code& e, std::size_t) mutable { handler(e); });
  }

private:
  // The first buffer that is not empty; an empty one when there is none.
  template <typename Buffer, typename Buffers>
  static Buffer first(const Buffers& buffers) {
    for (auto at = boost::asio::buffer_sequence_begin(buffers); at != boost::asio::buffer_sequence_end(buffers); ++at)
      if (Buffer(*at).size() > 0) return Buffer(*at);
    return Buffer();
  }
  // Nothing to read or write: done at once, with no byte (OpenSSL would take
  // a call for no byte as a failure).
  template <typename Handler>
  void nothingToDo(Handler&& handler) {
    boost::asio::post(socket_.get_executor(), [handler = std::forward<Handler>(handler)]() mutable {
      handler(error_code(), std::size_t(0));
    });
  }
  static int clamped(std::size_t size) { return static_cast<int>(std::min<std::size_t>(size, INT_MAX)); }

  // What an SSL call's result means: done (with its count), a wait for the
  // socket (readable or writable), or a failure.
  enum class Want { Nothing, Read, Write };
  Want outcome(int result, error_code& error);

  // Tries `attempt` (an SSL call) until it no longer waits for the socket,
  // then hands the result to the handler: through the executor when it did
  // not wait, so that the handler never runs inside the call that started it.
  template <typename Attempt, typename Handler>
  void perform(Attempt attempt, Handler handler, bool waited = false) {
    ERR_clear_error();
    errno = 0;  // what SSL_ERROR_SYSCALL means depends on it
    const int result = attempt();
    error_code error;
    const Want want = outcome(result, error);
    if (want != Want::Nothing) {
      socket_.async_wait(want == Want::Read ? boost::asio::ip::tcp::socket::wait_read
                                            : boost::asio::ip::tcp::socket::wait_write,
                         [this, attempt, handler = std::move(handler)](const error_code& e) mutable {
                           if (e) return handler(e, std::size_t(0));
                           perform(attempt, std::move(handler), true);
                         });
      return;
    }
    const std::size_t bytes = result > 0 ? static_cast<std::size_t>(result) : 0;
    if (waited) return handler(error, bytes);
    boost::asio::post(socket_.get_executor(),
                      [handler = std::move(handler), error, bytes]() mutable { handler(error, bytes); });
  }

  // The most plaintext one record carries.
  static constexpr std::size_t kRecord = 16 * 1024;

  boost::asio::ip::tcp::socket socket_;
  SSL* ssl_;
  std::unique_ptr<char[]> gathered_;  // small pieces of a write under way, as one
};

}  // namespace DRAVHost
