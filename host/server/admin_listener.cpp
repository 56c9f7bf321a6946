#include "host/server/admin_listener.h"

#include "host/server/buffer_pool.h"
#include "host/server/connection.h"
#include "host/server/connection_registry.h"
#include "host/server/event_loops.h"
#include "host/server/listening.h"
#include "host/server/request_handling.h"
#include "host/server/request_slots.h"

#include <drav/platform/annal.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>

#include <optional>
#include <stdexcept>
#include <thread>
#include <vector>

namespace DRAVHost {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;
using boost::system::error_code;

namespace {

const Annal::AnnalInitExit annalInitExit;

// One loop, whose thread renders the page (well under a millisecond), and
// a spare for it should a request ever take long.
constexpr unsigned kSpareThreads = 1;
constexpr std::chrono::milliseconds kLoopWatchTick(50);
// The page for hundreds of bridges fits; a bound all the same.
constexpr std::uint32_t kPageLimit = 64 * 1024 * 1024;
constexpr std::chrono::milliseconds kSweepPeriod(50);
constexpr std::chrono::seconds kStopWait(2);

// The admin listener's own settings: its address and bound, the host's
// deadlines, no body, no authentication, no access log.
HostSettings adminSettingsOf(const HostSettings& host) {
  HostSettings admin;
  admin.address = host.admin.address;
  admin.port = host.admin.port;
  admin.maxConnections = std::max(1u, host.admin.maxConnections);
  admin.maxRunningCalls = 1;
  admin.maxWaitingCalls = admin.maxConnections;
  admin.retryAfterSeconds = host.retryAfterSeconds;
  admin.maxRequestsPerConnection = host.maxRequestsPerConnection;
  admin.headTimeout = host.headTimeout;
  admin.idleTimeout = host.idleTimeout;
  admin.minTransferRate = host.minTransferRate;
  admin.transferGrace = host.transferGrace;
  admin.headerLimit = host.headerLimit;
  admin.bodyLimit = 0;
  admin.drainLimit = 0;
  admin.responseBufferLimit = kPageLimit;
  return admin;
}

}  // namespace

class AdminListener::Impl {
public:
  Impl(const HostSettings& host, std::function<std::string()> metricsPage, const std::atomic<bool>* stopFlag)
      : settings(adminSettingsOf(host)),
        auth(settings),
        memory(0),
        routes{settings, noBridges, auth, requestsServed, memory, nullptr, noProxies, nullptr, std::move(metricsPage),
               stopFlag},
        registry(settings.maxConnections, 0),
        slots(settings.maxRunningCalls, settings.maxWaitingCalls),
        buffers(std::size_t(settings.headerLimit) + 4096, 1 + kSpareThreads),
        shared{routes, registry, slots, buffers, nullptr} {}

  void start();
  void stop();

  const HostSettings settings;
  const std::map<std::string, ServedBridge> noBridges;
  const std::vector<boost::asio::ip::address> noProxies;
  HostAuth auth;
  std::atomic<std::uint64_t> requestsServed{0};
  MemoryBudget memory;
  HostRoutes routes;
  ConnectionRegistry registry;
  RequestSlots slots;
  BufferPool buffers;
  ConnectionShared shared;
  unsigned short port = 0;

private:
  void acceptNext();
  void sweepNext();

  // Declared after what connections refer to: its end destroys the connections still held.
  EventLoops loops_{1, kSpareThreads, kLoopWatchTick};
  asio::io_context& io_ = loops_.loop(0).context();
  tcp::acceptor acceptor_{io_};
  asio::steady_timer pause_{io_};
  asio::steady_timer sweep_{io_};
};

void AdminListener::Impl::start() {
  listenOn(acceptor_, settings.address, settings.port, "admin");
  port = acceptor_.local_endpoint().port();
  asio::post(io_, [this] {
    acceptNext();
    sweepNext();
  });
}

void AdminListener::Impl::acceptNext() {
  acceptor_.async_accept([this](const error_code& error, tcp::socket socket) {
    if (error == asio::error::operation_aborted || !acceptor_.is_open()) return;
    if (error) {
      // Out of descriptors, say: try again after a pause instead of spinning.
      pause_.expires_after(kAcceptRetryPause);
      pause_.async_wait([this](const error_code& waited) {
        if (!waited && acceptor_.is_open()) acceptNext();
      });
      return;
    }
    acceptNext();
    try {
      startConnection(std::move(socket), loops_.loop(0), shared);
    } catch (const std::exception& e) {
      Annal::Logger(Annal::Error) << "host: an admin connection could not start: " << e.what();
    }
  });
}

void AdminListener::Impl::sweepNext() {
  sweep_.expires_after(kSweepPeriod);
  sweep_.async_wait([this](const error_code& error) {
    if (error) return;
    registry.sweep();
    sweepNext();
  });
}

void AdminListener::Impl::stop() {
  asio::post(io_, [this] {
    error_code ignored;
    acceptor_.close(ignored);
    pause_.cancel();
  });
  // Its requests are short: every connection is cut at once.
  registry.stop();
  slots.turnAwayWaiting();
  const auto until = std::chrono::steady_clock::now() + kStopWait;
  while (registry.size() > 0 && std::chrono::steady_clock::now() < until)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  asio::post(io_, [this] { sweep_.cancel(); });
  loops_.stop();
}

AdminListener::AdminListener(const HostSettings& host, std::function<std::string()> metricsPage,
                             const std::atomic<bool>* stopFlag)
    : impl_(std::make_unique<Impl>(host, std::move(metricsPage), stopFlag)) {}

AdminListener::~AdminListener() { stop(); }

void AdminListener::start() { impl_->start(); }

void AdminListener::stop() {
  if (!impl_->port) return;
  impl_->stop();
  impl_->port = 0;
}

unsigned short AdminListener::port() const { return impl_->port; }

}  // namespace DRAVHost
