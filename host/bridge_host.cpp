#include "host/bridge_host.h"

#include "host/channel.h"
#include "host/client_key.h"
#include "host/connection.h"
#include "host/host_auth.h"

#include <drav/platform/annal.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/ssl/context.hpp>
#include <boost/asio/steady_timer.hpp>

#include <algorithm>
#include <atomic>
#include <map>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <vector>

namespace DRAVHost {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;
using boost::system::error_code;

namespace {

const Annal::AnnalInitExit annalInitExit;

// The pause before accepting again after accept itself failed (out of
// descriptors, say), so that a lasting failure does not spin.
constexpr std::chrono::milliseconds kAcceptRetryPause(100);

std::unique_ptr<asio::ssl::context> tlsContextFor(const HostSettings& settings) {
  if (settings.certFile.empty() && settings.keyFile.empty()) return nullptr;
  if (settings.certFile.empty() || settings.keyFile.empty())
    throw std::runtime_error("HTTPS needs both a certificate and a key");
  auto tls = std::make_unique<asio::ssl::context>(asio::ssl::context::tls_server);
  tls->set_options(asio::ssl::context::default_workarounds | asio::ssl::context::no_sslv2 |
                   asio::ssl::context::no_sslv3 | asio::ssl::context::no_tlsv1 | asio::ssl::context::no_tlsv1_1);
  error_code error;
  tls->use_certificate_chain_file(settings.certFile, error);
  if (error) throw std::runtime_error("cannot use the certificate " + settings.certFile + ": " + error.message());
  tls->use_private_key_file(settings.keyFile, asio::ssl::context::pem, error);
  if (error) throw std::runtime_error("cannot use the key " + settings.keyFile + ": " + error.message());
  return tls;
}

}  // namespace

class BridgeHost::Impl {
public:
  explicit Impl(HostSettings hostSettings)
      : settings(std::move(hostSettings)),
        auth(settings),
        routes{settings, bridges, auth, requestsServed} {}

  void start();
  void stop();
  HostStatistics statistics();

  HostSettings settings;
  std::map<std::string, std::shared_ptr<BridgeHandler>> bridges;
  HostAuth auth;
  std::atomic<std::uint64_t> requestsServed{0};
  HostRoutes routes;
  bool started = false;
  bool stopped = false;
  unsigned short port = 0;

private:
  struct Live {
    std::shared_ptr<Connection> connection;
    std::thread thread;
    bool done = false;
  };

  void acceptNext();
  void accepted(const error_code& error, tcp::socket socket);
  void refuse(tcp::socket& socket);
  // Joins the threads of finished connections.
  void reap();

  std::unique_ptr<asio::ssl::context> tls_;
  asio::io_context acceptContext_;
  std::optional<tcp::acceptor> acceptor_;
  std::optional<asio::steady_timer> retryTimer_;
  std::thread acceptThread_;

  std::mutex mutex_;  // guards what follows
  std::map<std::uint64_t, Live> live_;
  std::uint64_t nextId_ = 0;
  std::uint64_t accepted_ = 0;
  std::uint64_t refused_ = 0;
  unsigned peak_ = 0;
};

void BridgeHost::Impl::start() {
  // IRequest reports the body length as a signed 32-bit count.
  settings.bodyLimit = std::min<std::uint32_t>(settings.bodyLimit, 0x7FFFFFFF);
  tls_ = tlsContextFor(settings);
  error_code error;
  const auto address = asio::ip::make_address(settings.address, error);
  if (error) throw std::runtime_error("not an IP address: '" + settings.address + "'");
  const tcp::endpoint endpoint(address, settings.port);
  acceptor_.emplace(acceptContext_);
  const std::string where = settings.address + ":" + std::to_string(settings.port);
  acceptor_->open(endpoint.protocol(), error);
  if (!error) acceptor_->set_option(tcp::acceptor::reuse_address(true), error);
  if (!error) acceptor_->bind(endpoint, error);
  if (!error) acceptor_->listen(asio::socket_base::max_listen_connections, error);
  if (error) {
    acceptor_.reset();
    throw std::runtime_error("cannot listen on " + where + ": " + error.message());
  }
  port = acceptor_->local_endpoint().port();
  retryTimer_.emplace(acceptContext_);
  acceptNext();
  acceptThread_ = std::thread([this] { acceptContext_.run(); });
}

void BridgeHost::Impl::acceptNext() {
  acceptor_->async_accept([this](const error_code& error, tcp::socket socket) { accepted(error, std::move(socket)); });
}

void BridgeHost::Impl::accepted(const error_code& error, tcp::socket socket) {
  if (error == asio::error::operation_aborted || !acceptor_->is_open()) return;
  if (error) {
    Annal::Logger(Annal::Error) << "host: accepting failed: " << error.message();
    retryTimer_->expires_after(kAcceptRetryPause);
    retryTimer_->async_wait([this](const error_code& waited) {
      if (!waited && acceptor_->is_open()) acceptNext();
    });
    return;
  }
  reap();
  std::lock_guard<std::mutex> lock(mutex_);
  if (live_.size() >= settings.maxConnections) {
    ++refused_;
    refuse(socket);
  } else {
    const std::uint64_t id = nextId_++;
    error_code unknown;
    const ClientKey client = clientKeyOf(socket.remote_endpoint(unknown).address());
    auto connection = std::make_shared<Connection>(openChannel(socket.release(), tls_.get()), routes, client);
    Live& entry = live_[id];
    entry.connection = connection;
    try {
      entry.thread = std::thread([this, id, connection] {
        connection->run();
        std::lock_guard<std::mutex> done(mutex_);
        const auto it = live_.find(id);
        if (it != live_.end()) it->second.done = true;
      });
      ++accepted_;
      peak_ = std::max<unsigned>(peak_, static_cast<unsigned>(live_.size()));
    } catch (const std::system_error& e) {
      Annal::Logger(Annal::Error) << "host: no thread for a connection: " << e.what();
      live_.erase(id);  // closes the connection
      ++refused_;
    }
  }
  acceptNext();
}

void BridgeHost::Impl::refuse(tcp::socket& socket) {
  // Plain HTTP gets a word of why, if the socket takes it at once; TLS is just closed.
  if (!tls_) {
    static const char kFull[] =
        "HTTP/1.1 503 Service Unavailable\r\nContent-Type: text/plain\r\nContent-Length: 28\r\n"
        "Connection: close\r\n\r\nthe host serves no more now\n";
    error_code ignored;
    socket.non_blocking(true, ignored);
    socket.write_some(asio::buffer(kFull, sizeof kFull - 1), ignored);
  }
  error_code ignored;
  socket.close(ignored);
}

void BridgeHost::Impl::reap() {
  std::vector<Live> finished;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto it = live_.begin(); it != live_.end();) {
      if (it->second.done) {
        finished.push_back(std::move(it->second));
        it = live_.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (Live& entry : finished) entry.thread.join();
}

void BridgeHost::Impl::stop() {
  asio::post(acceptContext_, [this] {
    error_code ignored;
    acceptor_->close(ignored);
    retryTimer_->cancel();
  });
  acceptThread_.join();
  std::vector<Live> all;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& entry : live_) entry.second.connection->interrupt();
    for (auto& entry : live_) all.push_back(std::move(entry.second));
    live_.clear();
  }
  for (Live& entry : all) entry.thread.join();
}

HostStatistics BridgeHost::Impl::statistics() {
  std::lock_guard<std::mutex> lock(mutex_);
  HostStatistics result;
  result.connectionsAccepted = accepted_;
  result.connectionsRefused = refused_;
  result.requestsServed = requestsServed.load();
  for (const auto& entry : live_) result.activeConnections += entry.second.done ? 0 : 1;
  result.peakConnections = peak_;
  return result;
}

BridgeHost::BridgeHost(HostSettings settings) : impl_(std::make_unique<Impl>(std::move(settings))) {}

BridgeHost::~BridgeHost() { stop(); }

void BridgeHost::addBridge(const std::string& path, std::shared_ptr<BridgeHandler> bridge) {
  if (impl_->started) throw std::logic_error("bridges are added before the host starts");
  if (path.empty() || path[0] != '/') throw std::logic_error("a bridge path starts with '/': '" + path + "'");
  if (!bridge) throw std::logic_error("no bridge for " + path);
  if (!impl_->bridges.emplace(path, std::move(bridge)).second)
    throw std::logic_error("a bridge is already served at " + path);
}

void BridgeHost::start() {
  if (impl_->started) throw std::logic_error("the host has started already");
  impl_->start();
  impl_->started = true;
}

void BridgeHost::stop() {
  if (!impl_->started || impl_->stopped) return;
  impl_->stopped = true;
  impl_->stop();
}

unsigned short BridgeHost::port() const { return impl_->port; }

std::string BridgeHost::url(const std::string& path) const {
  const std::string& address = impl_->settings.address;
  const std::string host = address.find(':') != std::string::npos ? "[" + address + "]" : address;
  const bool tls = !impl_->settings.certFile.empty();
  return std::string(tls ? "https" : "http") + "://" + host + ":" + std::to_string(impl_->port) + path;
}

const HostSettings& BridgeHost::settings() const { return impl_->settings; }

HostStatistics BridgeHost::statistics() const { return impl_->statistics(); }

std::size_t BridgeHost::ssoSessionCount() const { return impl_->auth.sessions.issued(); }

}  // namespace DRAVHost
