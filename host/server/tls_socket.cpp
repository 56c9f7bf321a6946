#include "host/server/tls_socket.h"

#include <boost/asio/error.hpp>

#include <cerrno>
#include <new>

#include <sys/socket.h>

#include <cstdint>

namespace DRAVHost {
namespace {

// The descriptor as a BIO that sends with MSG_NOSIGNAL: OpenSSL's own
// socket BIO writes with write(), which raises SIGPIPE once the peer has
// reset the connection, and that would end the whole process.
int socketOf(BIO* bio) { return static_cast<int>(reinterpret_cast<std::intptr_t>(BIO_get_data(bio))); }

bool wouldBlock() { return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR; }

int sendTo(BIO* bio, const char* data, int size) {
  const ssize_t sent = ::send(socketOf(bio), data, static_cast<std::size_t>(size), MSG_NOSIGNAL);
  BIO_clear_retry_flags(bio);
  if (sent < 0 && wouldBlock()) BIO_set_retry_write(bio);
  return static_cast<int>(sent);
}

int receiveFrom(BIO* bio, char* data, int size) {
  const ssize_t got = ::recv(socketOf(bio), data, static_cast<std::size_t>(size), 0);
  BIO_clear_retry_flags(bio);
  if (got < 0 && wouldBlock()) BIO_set_retry_read(bio);
  return static_cast<int>(got);
}

long control(BIO*, int command, long, void*) { return command == BIO_CTRL_FLUSH ? 1 : 0; }

int created(BIO* bio) {
  BIO_set_init(bio, 1);
  return 1;
}

const BIO_METHOD* quietSocket() {
  static BIO_METHOD* const method = [] {
    BIO_METHOD* made = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "socket without SIGPIPE");
    if (!made) throw std::bad_alloc();
    BIO_meth_set_write(made, sendTo);
    BIO_meth_set_read(made, receiveFrom);
    BIO_meth_set_ctrl(made, control);
    BIO_meth_set_create(made, created);
    return made;
  }();
  return method;
}

}  // namespace

TlsSocket::TlsSocket(boost::asio::ip::tcp::socket socket, boost::asio::ssl::context& context)
    : socket_(std::move(socket)), ssl_(SSL_new(context.native_handle())) {
  if (!ssl_) throw std::bad_alloc();
  // OpenSSL reads and writes the descriptor, and a wait is Asio's.
  error_code ignored;
  socket_.non_blocking(true, ignored);
  BIO* bio = BIO_new(quietSocket());
  if (!bio) {
    SSL_free(ssl_);
    throw std::bad_alloc();
  }
  BIO_set_data(bio, reinterpret_cast<void*>(static_cast<std::intptr_t>(socket_.native_handle())));
  SSL_set_bio(ssl_, bio, bio);  // the connection's state owns it
  SSL_set_accept_state(ssl_);
  // A write may end part of the way, and is tried again with its buffer where it is then.
  SSL_set_mode(ssl_, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER | SSL_MODE_RELEASE_BUFFERS);
  // Whole records and more in one read, not a header and then its record:
  // half the system calls for a body. What is read ahead waits in OpenSSL,
  // which asks for the socket only once it holds no whole record.
  SSL_set_read_ahead(ssl_, 1);
}

TlsSocket::~TlsSocket() { SSL_free(ssl_); }

TlsSocket::Want TlsSocket::outcome(int result, error_code& error) {
  if (result > 0) return Want::Nothing;
  const int code = SSL_get_error(ssl_, result);
  switch (code) {
    case SSL_ERROR_WANT_READ:
      return Want::Read;
    case SSL_ERROR_WANT_WRITE:
      return Want::Write;
    case SSL_ERROR_ZERO_RETURN:
      error = boost::asio::error::eof;
      return Want::Nothing;
    case SSL_ERROR_SYSCALL:
      // The peer ended without close_notify, or the socket failed.
      if (errno != 0 && ERR_peek_error() == 0) error = error_code(errno, boost::system::system_category());
      else error = boost::asio::ssl::error::stream_truncated;
      return Want::Nothing;
    default: {
      const unsigned long reason = ERR_get_error();
#ifdef SSL_R_UNEXPECTED_EOF_WHILE_READING
      if (ERR_GET_REASON(reason) == SSL_R_UNEXPECTED_EOF_WHILE_READING) {
        error = boost::asio::ssl::error::stream_truncated;
        return Want::Nothing;
      }
#endif
      error = error_code(static_cast<int>(reason), boost::asio::error::get_ssl_category());
      if (!error) error = boost::asio::ssl::error::unspecified_system_error;
      return Want::Nothing;
    }
  }
}

}  // namespace DRAVHost
