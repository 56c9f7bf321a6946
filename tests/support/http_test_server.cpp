#include "support/http_test_server.h"

std::string drav_test::ScriptedServer::url(const std::string& path) const {
  return (tls() ? "https://" : "http://") + hostPort() + path;
}

// The in-process server needs POSIX sockets; Windows test builds use a
// server in a Linux process instead.
#ifndef _WIN32

#include "support/http_test_auth.h"
#include "support/http_test_connection.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <deque>
#include <list>
#include <mutex>
#include <stdexcept>
#include <thread>

namespace drav_test {
namespace {

// Enough for any test; benchmarks turn recording off.
constexpr std::size_t kMaxRecords = 100000;
constexpr std::size_t kMaxConnections = 256;

}  // namespace

struct ServerState {
  std::mutex mutex;  // guards everything below
  std::deque<Reply> queue;
  Reply defaultReply;
  AuthScheme scheme = AuthScheme::None;
  std::string user, password;
  std::vector<RecordedRequest> records;
  unsigned connections = 0;
  unsigned nextConnectionId = 0;  // numbers connections across listeners
  unsigned opened = 0;            // every connection accepted
  unsigned closed = 0;            // and closed again
};

namespace {

// The caller holds state.mutex.
void clearState(ServerState& state) {
  state.queue.clear();
  state.defaultReply = Reply();
  state.scheme = AuthScheme::None;
  state.records.clear();
  state.connections = 0;
  state.opened = 0;
  state.closed = 0;
}

// Before closing on unread input (a refused handshake, an answer given
// before the body): let the client read what was sent. Closing at once
// would reset the connection and the client would see a reset instead.
void lingerForAlert(int fd) {
  ::shutdown(fd, SHUT_WR);
  // Drain until the peer has been quiet for half a second (it may still be
  // sending a body we answered early: closing on unread bytes would reset
  // the answer away), and never longer than five seconds in all.
  char discard[65536];
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  for (int quiet = 0; quiet < 10 && std::chrono::steady_clock::now() < deadline;) {
    pollfd p = {fd, POLLIN, 0};
    if (::poll(&p, 1, 50) <= 0) {
      ++quiet;
      continue;
    }
    if (::recv(fd, discard, sizeof discard, 0) <= 0) return;
    quiet = 0;
  }
}

struct Worker {
  std::thread thread;
  std::atomic<bool> done{false};
};

}  // namespace

class HttpTestServer::Impl {
public:
  Impl(const ServerOptions& options, std::shared_ptr<ServerState> state);
  ~Impl();

  unsigned short port() const { return port_; }
  bool tls() const { return ctx_ != nullptr; }

  const std::shared_ptr<ServerState> state;

private:
  void acceptLoop();
  void reap(bool all);
  void serve(int fd);
  void serveRequests(TestConnection& connection, unsigned id, bool& lingerBeforeClose);
  bool answerControl(TestConnection& connection, const RecordedRequest& request);
  // True when the request may proceed; else the challenge was sent (or the
  // connection failed, then `alive` is false).
  bool authorized(TestConnection& connection, const RecordedRequest& request, bool& ntlmDone, bool& alive);
  Reply nextReply();
  bool takeEarlyReply(Reply& reply);

  ServerOptions options_;
  int listenFd_ = -1;
  unsigned short port_ = 0;
  SSL_CTX* ctx_ = nullptr;
  std::atomic<bool> stop_{false};
  std::mutex workersMutex_;
  std::list<Worker> workers_;
  std::list<int> openFds_;  // accepted sockets still open, for shutdown at stop
  std::thread acceptor_;
};

HttpTestServer::Impl::Impl(const ServerOptions& options, std::shared_ptr<ServerState> shared)
    : state(shared ? std::move(shared) : std::make_shared<ServerState>()), options_(options) {
  // OpenSSL writes to the socket with write(): a client that went away
  // must not end the test process.
  ::signal(SIGPIPE, SIG_IGN);
  if (!options.certFile.empty()) {
    ctx_ = SSL_CTX_new(TLS_server_method());
    // Weak offers (and a weak certificate) need the lowest security level.
    const bool weak = options.maxProtocolVersion != 0 || !options.ciphers.empty();
    if (ctx_ && weak) SSL_CTX_set_security_level(ctx_, 0);
    if (!ctx_ || SSL_CTX_use_certificate_chain_file(ctx_, options.certFile.c_str()) != 1 ||
        SSL_CTX_use_PrivateKey_file(ctx_, options.keyFile.c_str(), SSL_FILETYPE_PEM) != 1) {
      if (ctx_) SSL_CTX_free(ctx_);
      throw std::runtime_error("test server: cannot load certificate " + options.certFile);
    }
    if (options.clientCertificate != ClientCertificate::None)
      SSL_CTX_set_verify(ctx_,
                         SSL_VERIFY_PEER | (options.clientCertificate == ClientCertificate::Required
                                                ? SSL_VERIFY_FAIL_IF_NO_PEER_CERT
                                                : 0),
                         [](int, X509_STORE_CTX*) { return 1; });
    if (options.tls12Only) SSL_CTX_set_max_proto_version(ctx_, TLS1_2_VERSION);
    if (weak) {
      SSL_CTX_set_min_proto_version(ctx_, 0);
      if (options.maxProtocolVersion != 0) SSL_CTX_set_max_proto_version(ctx_, options.maxProtocolVersion);
      if (SSL_CTX_set_cipher_list(ctx_, options.ciphers.empty() ? "DEFAULT@SECLEVEL=0" : options.ciphers.c_str()) != 1) {
        SSL_CTX_free(ctx_);
        throw std::runtime_error("test server: cannot offer the ciphers " + options.ciphers);
      }
    }
  }
  listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const int on = 1;
  ::setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_port = htons(options.port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (listenFd_ < 0 || ::bind(listenFd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(listenFd_, 128) != 0 ||
      ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    if (listenFd_ >= 0) ::close(listenFd_);
    if (ctx_) SSL_CTX_free(ctx_);
    throw std::runtime_error("test server: cannot listen on 127.0.0.1");
  }
  port_ = ntohs(address.sin_port);
  acceptor_ = std::thread([this] { acceptLoop(); });
}

HttpTestServer::Impl::~Impl() {
  stop_ = true;
  acceptor_.join();
  {
    std::lock_guard<std::mutex> lock(workersMutex_);
    for (int fd : openFds_) ::shutdown(fd, SHUT_RDWR);
  }
  reap(true);
  ::close(listenFd_);
  if (ctx_) SSL_CTX_free(ctx_);
}

void HttpTestServer::Impl::reap(bool all) {
  std::list<Worker> finished;
  {
    std::lock_guard<std::mutex> lock(workersMutex_);
    for (auto it = workers_.begin(); it != workers_.end();) {
      auto next = std::next(it);
      if (all || it->done) finished.splice(finished.end(), workers_, it);
      it = next;
    }
  }
  for (Worker& w : finished) w.thread.join();
}

void HttpTestServer::Impl::acceptLoop() {
  while (!stop_) {
    reap(false);
    pollfd p = {listenFd_, POLLIN, 0};
    if (::poll(&p, 1, 50) <= 0) continue;
    const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    std::lock_guard<std::mutex> lock(workersMutex_);
    if (workers_.size() >= kMaxConnections) {
      ::close(fd);
      continue;
    }
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    openFds_.push_back(fd);
    workers_.emplace_back();
    Worker& worker = workers_.back();
    worker.thread = std::thread([this, fd, &worker] {
      serve(fd);
      worker.done = true;
    });
  }
}

void HttpTestServer::Impl::serve(int fd) {
  {
    std::lock_guard<std::mutex> lock(state->mutex);
    ++state->opened;
  }
  SSL* ssl = nullptr;
  bool usable = true;
  if (ctx_) {
    ssl = SSL_new(ctx_);
    SSL_set_fd(ssl, fd);
    if (SSL_accept(ssl) != 1) {
      ERR_clear_error();
      SSL_free(ssl);
      ssl = nullptr;
      usable = false;
      lingerForAlert(fd);
    }
  }
  if (usable) {
    unsigned id;
    {
      std::lock_guard<std::mutex> lock(state->mutex);
      id = ++state->nextConnectionId;
    }
    bool linger = false;
    {
      TestConnection connection(fd, ssl, stop_);
      serveRequests(connection, id, linger);
    }
    if (linger) lingerForAlert(fd);
  }
  {
    // Closed here, under the lock, so that a stop never shuts down a reused number.
    std::lock_guard<std::mutex> lock(workersMutex_);
    openFds_.remove(fd);
    ::close(fd);
  }
  std::lock_guard<std::mutex> lock(state->mutex);
  ++state->closed;
}

bool HttpTestServer::Impl::takeEarlyReply(Reply& reply) {
  std::lock_guard<std::mutex> lock(state->mutex);
  if (state->queue.empty() || !state->queue.front().answerBeforeBody) return false;
  reply = state->queue.front();
  state->queue.pop_front();
  return true;
}

Reply HttpTestServer::Impl::nextReply() {
  std::lock_guard<std::mutex> lock(state->mutex);
  if (state->queue.empty()) return state->defaultReply;
  Reply reply = state->queue.front();
  state->queue.pop_front();
  return reply;
}

bool HttpTestServer::Impl::authorized(TestConnection& connection, const RecordedRequest& request, bool& ntlmDone,
                                      bool& alive) {
  AuthScheme demanded;
  std::string name, secret;
  {
    std::lock_guard<std::mutex> lock(state->mutex);
    demanded = state->scheme, name = state->user, secret = state->password;
  }
  const std::string authorization = request.header("Authorization");
  Reply challenge;
  challenge.status = 401;
  challenge.body = "unauthorized";
  if (demanded == AuthScheme::None) return true;
  if (demanded == AuthScheme::Basic) {
    if (basicMatches(authorization, name, secret)) return true;
    challenge.header("WWW-Authenticate", "Basic realm=\"drav\"");
  } else {
    // NTLM authenticates the connection: later requests on it need nothing.
    if (ntlmDone) return true;
    const int type = ntlmMessageType(authorization);
    if (type == 3 && ntlmUserName(authorization) == name) {
      ntlmDone = true;
      return true;
    }
    challenge.header("WWW-Authenticate", type == 1 ? ntlmChallengeHeader() : "NTLM");
  }
  alive = connection.sendReply(challenge, request);
  return false;
}

void HttpTestServer::Impl::serveRequests(TestConnection& connection, unsigned id, bool& lingerBeforeClose) {
  bool counted = false, ntlmDone = false;
  for (;;) {
    RecordedRequest request;
    bool malformed = false;
    if (!connection.readHead(request, malformed)) {
      if (malformed) connection.write("HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
      return;
    }
    request.connection = id;
    if (request.header("Expect") == "100-continue" && !connection.write("HTTP/1.1 100 Continue\r\n\r\n")) return;
    const bool control = request.target.compare(0, std::string(kControlPrefix).size(), kControlPrefix) == 0;
    if (!control) {
      Reply early;
      if (takeEarlyReply(early)) {
        // Answered before the body was read; the unread body ends the connection.
        early.closeAfter = true;
        std::lock_guard<std::mutex> lock(state->mutex);
        if (!counted) ++state->connections, counted = true;
        if (options_.record && state->records.size() < kMaxRecords) state->records.push_back(request);
      }
      if (early.answerBeforeBody) {
        connection.sendReply(early, request);
        // Closing on the unread body would reset the answer away, unless a
        // reset is what the reply asks for.
        lingerBeforeClose = early.resetAfterBodyBytes < 0;
        return;
      }
    }
    const std::size_t keep = control ? (16u << 20) : (options_.record ? kKeptBodyBytes : 0);
    if (!connection.readBody(request, keep, options_.record && !control)) return;
    if (control) {
      if (!answerControl(connection, request)) return;
      continue;
    }
    {
      std::lock_guard<std::mutex> lock(state->mutex);
      if (!counted) ++state->connections, counted = true;
      if (options_.record && state->records.size() < kMaxRecords) state->records.push_back(request);
    }
    bool alive = true;
    if (!authorized(connection, request, ntlmDone, alive)) {
      if (!alive) return;
      continue;
    }
    if (!connection.sendReply(nextReply(), request)) return;
  }
}

bool HttpTestServer::Impl::answerControl(TestConnection& connection, const RecordedRequest& request) {
  const std::string command = request.target.substr(std::string(kControlPrefix).size());
  Reply answer;
  try {
    std::lock_guard<std::mutex> lock(state->mutex);
    if (command == "enqueue") state->queue.push_back(decodeReply(request.body));
    else if (command == "default") state->defaultReply = decodeReply(request.body);
    else if (command == "requests") answer.body = encodeRequests(state->records);
    else if (command == "connections") answer.body = std::to_string(state->connections);
    else if (command == "reset") clearState(*state);
    else if (command == "auth") {
      const std::size_t a = request.body.find('\n'), b = request.body.find('\n', a + 1);
      if (a == std::string::npos || b == std::string::npos) throw std::runtime_error("malformed auth command");
      const std::string kind = request.body.substr(0, a);
      state->scheme = kind == "basic" ? AuthScheme::Basic : kind == "ntlm" ? AuthScheme::Ntlm : AuthScheme::None;
      state->user = request.body.substr(a + 1, b - a - 1);
      state->password = request.body.substr(b + 1);
    } else {
      answer.status = 404;
      answer.body = "unknown command " + command;
    }
  } catch (const std::exception& e) {
    answer.status = 400;
    answer.body = e.what();
  }
  return connection.sendReply(answer, request);
}

HttpTestServer::HttpTestServer(const ServerOptions& options, std::shared_ptr<ServerState> state)
    : impl_(new Impl(options, std::move(state))) {}
HttpTestServer::~HttpTestServer() = default;

std::shared_ptr<ServerState> HttpTestServer::state() const { return impl_->state; }

unsigned short HttpTestServer::port() const { return impl_->port(); }
bool HttpTestServer::tls() const { return impl_->tls(); }

void HttpTestServer::enqueue(const Reply& reply) {
  std::lock_guard<std::mutex> lock(impl_->state->mutex);
  impl_->state->queue.push_back(reply);
}

void HttpTestServer::setDefaultReply(const Reply& reply) {
  std::lock_guard<std::mutex> lock(impl_->state->mutex);
  impl_->state->defaultReply = reply;
}

void HttpTestServer::requireAuth(AuthScheme scheme, const std::string& user, const std::string& password) {
  std::lock_guard<std::mutex> lock(impl_->state->mutex);
  impl_->state->scheme = scheme;
  impl_->state->user = user;
  impl_->state->password = password;
}

std::vector<RecordedRequest> HttpTestServer::requests() {
  std::lock_guard<std::mutex> lock(impl_->state->mutex);
  return impl_->state->records;
}

unsigned HttpTestServer::connectionsAccepted() {
  std::lock_guard<std::mutex> lock(impl_->state->mutex);
  return impl_->state->connections;
}

unsigned HttpTestServer::connectionsOpened() {
  std::lock_guard<std::mutex> lock(impl_->state->mutex);
  return impl_->state->opened;
}

unsigned HttpTestServer::connectionsClosed() {
  std::lock_guard<std::mutex> lock(impl_->state->mutex);
  return impl_->state->closed;
}

void HttpTestServer::reset() {
  std::lock_guard<std::mutex> lock(impl_->state->mutex);
  clearState(*impl_->state);
}

}  // namespace drav_test

#endif  // _WIN32
