#include <drav/host/bridge_host.h>

#include "host/server/admin_listener.h"
#include "host/server/buffer_pool.h"
#include "host/server/connection.h"
#include "host/server/connection_registry.h"
#include "host/server/event_loops.h"
#include "host/server/forwarded_client.h"
#include "host/server/host_metrics.h"
#include "host/server/listening.h"
#include "host/sso/host_auth.h"
#include "host/server/request_handling.h"
#include "host/server/request_slots.h"
#include "host/server/stuck_calls.h"
#include "host/server/url_path.h"

#include <drav/platform/annal.h>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/ssl/context.hpp>
#include <boost/asio/steady_timer.hpp>

#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <future>
#include <mutex>
#include <map>
#include <memory>
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

// The default bound on connections (room for active clients beside 10,000
// idle ones), and the descriptors kept free beside them.
constexpr unsigned kDefaultMaxConnections = 16384;
constexpr unsigned kSpareDescriptors = 64;
// Large enough for a head at the default limit, and for reading bodies in big pieces.
constexpr std::size_t kInputBufferSize = 64 * 1024;
// How long a stopping host waits for requests on their way to it (a round
// trip of the network in front, well under a millisecond on a LAN) before
// it closes the connections that wait for a request of which nothing has
// come: with nothing running it ends that much after the listener.
constexpr std::chrono::milliseconds kRequestsInFlight(100);
// At the grace's end, the time the 503s of the requests still waiting for a
// slot get to go out before every connection is cut.
constexpr std::chrono::milliseconds kTurnedAwayAnswers(100);
// After the grace, how long stop() waits for cut connections to end: their
// waits end at once, and a bridge that writes learns of the cut at once.
constexpr std::chrono::seconds kStopCutWait(2);
// TLS connections beyond the bound that may be in their handshake at once
// to be refused; with as many, the listener pauses for kRefusalPause.
constexpr unsigned kTlsRefusalsAtOnce = 32;
constexpr std::chrono::milliseconds kRefusalPause(20);
// How long one call may hold a loop's only free thread before a spare joins
// the loop: the longest the loop's other connections wait on a long call.
constexpr std::chrono::milliseconds kLoopWatchTick(10);

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

// The bound on connections: as set, or the default, within what the
// process's descriptor limit leaves beside the host's own.
unsigned connectionBound(unsigned configured) {
  rlimit limit{};
  unsigned available = kDefaultMaxConnections;
  if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY)
    available = limit.rlim_cur > kSpareDescriptors ? static_cast<unsigned>(std::min<rlim_t>(
                                                         limit.rlim_cur - kSpareDescriptors, 1u << 30))
                                                   : 1;
  return std::min(configured ? configured : kDefaultMaxConnections, available);
}

// Unless set, one loop per processor but one: a loop's thread keeps its
// processor busy under load, and the kernel's network work, a proxy in front,
// the clients of a benchmark and the threads lent to long calls need one too.
// Never more than calls may run, as each loop's thread runs calls.
unsigned loopCount(const HostSettings& settings) {
  const unsigned processors = std::thread::hardware_concurrency();  // 0 when unknown
  const unsigned wanted = settings.eventLoops ? settings.eventLoops : processors > 1 ? processors - 1 : 1;
  return std::min(wanted, settings.maxRunningCalls);
}

// Settings that would fail open or serve no call are refused, whoever made them.
HostSettings checked(HostSettings settings) {
  if (settings.user.empty() != settings.password.empty())
    throw std::invalid_argument("Basic authentication needs both a user and a password");
  const SsoLogonSettings& sso = settings.sso;
  if ((sso.enabled || !sso.user.empty() || !sso.password.empty()) && (sso.user.empty() || sso.password.empty()))
    throw std::invalid_argument("the single-sign-on logon needs both a user and a password");
  if (sso.enabled)
    if (const auto fault = pathFault(sso.path))
      throw std::invalid_argument("the logon path \"" + sso.path + "\" " + *fault);
  if (settings.callMemoryBudget > settings.memoryBudget)
    throw std::invalid_argument("the memory one call may take (" + std::to_string(settings.callMemoryBudget) +
                                " bytes) is above what all calls may take together (" +
                                std::to_string(settings.memoryBudget) + " bytes): no call could run");
  return settings;
}

// How often deadlines are checked: a fraction of the shortest wait allowed.
std::chrono::milliseconds sweepPeriod(const HostSettings& settings) {
  auto shortest = std::min({settings.headTimeout, settings.idleTimeout, settings.transferGrace});
  if (settings.callTimeLimit.count() > 0) shortest = std::min(shortest, settings.callTimeLimit);
  return std::clamp(shortest / 8, std::chrono::milliseconds(10), std::chrono::milliseconds(250));
}

}  // namespace

class BridgeHost::Impl {
public:
  explicit Impl(HostSettings hostSettings)
      : settings(checked(std::move(hostSettings))),
        auth(settings),
        memory(settings.memoryBudget),
        accessLog(settings.accessLog.empty() ? nullptr : std::make_unique<AccessLog>(settings.accessLog)),
        trustedProxies(parseTrustedProxies(settings.trustedProxies)),
        running(trustedProxies),
        routes{settings, bridges, auth, requestsServed, memory, accessLog.get(), trustedProxies, nullptr, {},
               &stopping, &running} {}

  void start();
  // The calls left running; empty when every thread was joined.
  std::vector<std::string> stop();
  StopStep hurryStop();
  HostStatistics statistics();
  void reopenAccessLog();
  unsigned short adminPort() const { return admin_ ? admin_->port() : 0; }

  HostSettings settings;
  std::map<std::string, ServedBridge> bridges;
  HostAuth auth;
  std::atomic<std::uint64_t> requestsServed{0};
  MemoryBudget memory;
  std::unique_ptr<AccessLog> accessLog;
  std::vector<boost::asio::ip::address> trustedProxies;
  std::atomic<bool> stopping{false};
  RunningCalls running;
  HostRoutes routes;
  bool started = false;
  bool stopped = false;
  bool leftBehind = false;  // stop() left threads running calls
  unsigned short port = 0;

private:
  void acceptNext();
  void acceptWhenRoom();
  // Serves the connections the kernel has accepted already, then closes the
  // listener: a client whose connect succeeded may have sent its call.
  void closeListener();
  void accepted(const error_code& error, tcp::socket socket, EventLoop& loop);
  void serve(tcp::socket socket, EventLoop& loop);
  void sweepNext();
  // Counts calls and serves them on a listener of its own, when the settings ask for it.
  void startAdmin();
  // Waits until `done` holds or `limit` has passed; true when it held.
  template <typename Done>
  static bool waitUntil(Done done, std::chrono::milliseconds limit);
  // The stop enters `step`; true when hurryStop() ended it before it began.
  bool enterStep(StopStep step);
  // Waits for the step's end: `limit`, or hurryStop().
  void sleepThroughStep(std::chrono::milliseconds limit);
  bool hurried(StopStep step) const { return hurriedThrough_.load() >= static_cast<int>(step); }

  std::unique_ptr<asio::ssl::context> tls_;
  std::optional<ConnectionRegistry> registry_;
  std::optional<RequestSlots> slots_;
  std::optional<BufferPool> buffers_;
  std::optional<ConnectionShared> shared_;
  std::optional<StuckCalls> stuck_;
  // The stop's step, and the last one hurryStop() ended (as ints of StopStep).
  std::mutex stepMutex_;
  std::condition_variable stepHurried_;
  std::atomic<int> step_{static_cast<int>(StopStep::NotStopping)};
  std::atomic<int> hurriedThrough_{static_cast<int>(StopStep::NotStopping)};
  // Declared after what connections refer to: their end destroys the connections still held.
  std::optional<EventLoops> loops_;
  // On the first loop.
  std::optional<tcp::acceptor> acceptor_;
  std::optional<asio::steady_timer> retryTimer_;
  std::optional<asio::steady_timer> sweepTimer_;
  std::unique_ptr<HostMetrics> metrics_;
  // Last: it ends first, as its page reads the members above.
  std::optional<AdminListener> admin_;
};

void BridgeHost::Impl::start() {
  // IRequest reports the body length as a signed 32-bit count.
  settings.bodyLimit = std::min<std::uint32_t>(settings.bodyLimit, 0x7FFFFFFF);
  settings.maxRunningCalls = std::max(1u, settings.maxRunningCalls);
  settings.maxConnections = connectionBound(settings.maxConnections);
  tls_ = tlsContextFor(settings);
  // Each loop's thread runs calls, and a spare stands by for each: as many
  // threads as calls may run or wait on their clients, plus one per loop.
  const unsigned loops = settings.eventLoops = loopCount(settings);
  loops_.emplace(loops, settings.maxRunningCalls + settings.maxClientWaits, kLoopWatchTick);
  asio::io_context& first = loops_->loop(0).context();
  acceptor_.emplace(first);
  listenOn(*acceptor_, settings.address, settings.port);
  port = acceptor_->local_endpoint().port();
  registry_.emplace(settings.maxConnections, tls_ ? kTlsRefusalsAtOnce : 0);
  slots_.emplace(settings.maxRunningCalls, settings.maxWaitingCalls, settings.maxClientWaits);
  buffers_.emplace(std::max<std::size_t>(kInputBufferSize, std::size_t(settings.headerLimit) + 4096),
                   2 * (settings.maxRunningCalls + loops));
  stuck_.emplace(running, *slots_, *loops_, settings.callTimeLimit, settings.maxStuckCalls);
  shared_.emplace(ConnectionShared{routes, *registry_, *slots_, *buffers_, tls_.get(), &*stuck_});
  startAdmin();
  retryTimer_.emplace(first);
  sweepTimer_.emplace(first);
  asio::post(first, [this] {
    acceptNext();
    sweepNext();
  });
}

void BridgeHost::Impl::startAdmin() {
  if (!settings.admin.enabled) return;
  std::vector<std::string> paths;
  for (const auto& bridge : bridges) paths.push_back(bridge.first);
  metrics_ = std::make_unique<HostMetrics>(paths);
  routes.metrics = metrics_.get();
  admin_.emplace(
      settings,
      [this] {
        return metrics_->render(HostState{registry_->size(), slots_->running(), memory.used(), memory.limit(),
                                          registry_->refused(), slots_->refused()});
      },
      &stopping);
  admin_->start();
}

void BridgeHost::Impl::acceptNext() {
  // The connection lives on the next loop in turn.
  EventLoop& loop = loops_->next();
  acceptor_->async_accept(loop.context(), [this, &loop](const error_code& error, tcp::socket socket) {
    accepted(error, std::move(socket), loop);
  });
}

void BridgeHost::Impl::accepted(const error_code& error, tcp::socket socket, EventLoop& loop) {
  if (error == asio::error::operation_aborted || !acceptor_->is_open()) return;
  if (error) {
    Annal::Logger(Annal::Error) << "host: accepting failed: " << error.message();
    retryTimer_->expires_after(kAcceptRetryPause);
    retryTimer_->async_wait([this](const error_code& waited) {
      if (!waited && acceptor_->is_open()) acceptNext();
    });
    return;
  }
  serve(std::move(socket), loop);
  acceptWhenRoom();
}

void BridgeHost::Impl::serve(tcp::socket socket, EventLoop& loop) {
  try {
    startConnection(std::move(socket), loop, *shared_);
  } catch (const std::exception& e) {
    Annal::Logger(Annal::Error) << "host: a connection could not start: " << e.what();
  }
}

void BridgeHost::Impl::acceptWhenRoom() {
  // A TLS client beyond the bound is answered after its handshake: with the
  // most of those under way, the next clients wait in the listen backlog.
  if (!tls_ || !registry_->refusalsFull()) return acceptNext();
  retryTimer_->expires_after(kRefusalPause);
  retryTimer_->async_wait([this](const error_code& waited) {
    if (!waited && acceptor_->is_open()) acceptWhenRoom();
  });
}

void BridgeHost::Impl::sweepNext() {
  sweepTimer_->expires_after(sweepPeriod(settings));
  sweepTimer_->async_wait([this](const error_code& error) {
    if (error) return;
    registry_->sweep();
    stuck_->sweep();
    sweepNext();
  });
}

template <typename Done>
bool BridgeHost::Impl::waitUntil(Done done, std::chrono::milliseconds limit) {
  const auto until = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

void BridgeHost::Impl::closeListener() {
  error_code error;
  acceptor_->non_blocking(true, error);
  while (!error) {
    EventLoop& loop = loops_->next();
    tcp::socket socket = acceptor_->accept(loop.context(), error);
    if (!error) serve(std::move(socket), loop);
  }
  acceptor_->close(error);
  retryTimer_->cancel();
}

bool BridgeHost::Impl::enterStep(StopStep step) {
  std::lock_guard<std::mutex> lock(stepMutex_);
  step_ = static_cast<int>(step);
  return hurried(step);
}

void BridgeHost::Impl::sleepThroughStep(std::chrono::milliseconds limit) {
  std::unique_lock<std::mutex> lock(stepMutex_);
  const int step = step_.load();
  stepHurried_.wait_for(lock, limit, [&] { return hurriedThrough_.load() >= step; });
}

BridgeHost::StopStep BridgeHost::Impl::hurryStop() {
  std::lock_guard<std::mutex> lock(stepMutex_);
  // Before stop() has begun, its first step is the one to end; a step ended
  // already that stop() has not left yet, the one after it.
  const int step = std::max({step_.load(), static_cast<int>(StopStep::Draining), hurriedThrough_.load() + 1});
  if (step != static_cast<int>(StopStep::Draining) && step != static_cast<int>(StopStep::Grace))
    return static_cast<StopStep>(step);
  hurriedThrough_ = step;
  stepHurried_.notify_all();
  return static_cast<StopStep>(step);
}

std::vector<std::string> BridgeHost::Impl::stop() {
  enterStep(StopStep::Draining);
  stopping = true;  // /healthz says so, and every answer closes its connection
  sleepThroughStep(settings.drainTime);
  const bool graceHurried = enterStep(StopStep::Grace);
  // On the listener's loop; bounded, should every thread that could run it be stuck in a call.
  const auto closed = std::make_shared<std::promise<void>>();
  asio::post(loops_->loop(0).context(), [this, closed] {
    closeListener();
    closed->set_value();
  });
  closed->get_future().wait_for(settings.stopGrace);
  memory.stop();  // calls waiting for memory take it, within the grace
  const auto allEnded = [this] { return slots_->running() + slots_->clientWaits() == 0 && registry_->size() == 0; };
  const auto graceEnd = std::chrono::steady_clock::now() + settings.stopGrace;
  const auto endedOrHurried = [&] { return allEnded() || hurried(StopStep::Grace); };
  if (!graceHurried) {
    // Requests on their way as the listener closed are served (and told
    // that the connection ends); connections that wait for one after that
    // would only hold the grace to its end, so they close once no call runs
    // or waits any longer. Until then a proxy's kept-alive connection is
    // served as before: the proxy cannot know that the host stops, and a
    // call it sends down a connection as that closes fails (it may have
    // arrived, so it is not sent again). Requests already taken, running or
    // waiting for a slot, have the whole grace.
    const auto untilGraceEnd = [&] {
      return std::chrono::duration_cast<std::chrono::milliseconds>(graceEnd - std::chrono::steady_clock::now());
    };
    const auto callsEndedOrHurried = [&] {
      return slots_->running() + slots_->clientWaits() == 0 || hurried(StopStep::Grace);
    };
    if (!waitUntil(endedOrHurried, std::min(kRequestsInFlight, settings.stopGrace))) {
      waitUntil(callsEndedOrHurried, untilGraceEnd());
      registry_->closeIdle();
      waitUntil(endedOrHurried, untilGraceEnd());
    }
  }
  enterStep(StopStep::Ending);
  if (slots_->turnAwayWaiting() > 0) waitUntil(allEnded, kTurnedAwayAnswers);
  registry_->stop();  // every connection still open is cut once the grace is over
  waitUntil(allEnded, kStopCutWait);
  if (admin_) admin_->stop();
  asio::post(loops_->loop(0).context(), [this] { sweepTimer_->cancel(); });
  std::vector<std::string> abandoned = running.describe();
  if (abandoned.empty()) loops_->stop();
  else loops_->abandon();
  return abandoned;
}

void BridgeHost::Impl::reopenAccessLog() {
  if (accessLog) accessLog->reopen();
}

HostStatistics BridgeHost::Impl::statistics() {
  HostStatistics result;
  result.requestsServed = requestsServed.load();
  if (registry_) {
    result.connectionsAccepted = registry_->added();
    result.connectionsRefused = registry_->refused();
    result.requestsRefused = slots_->refused();
    result.activeConnections = registry_->size();
    result.peakConnections = registry_->peak();
  }
  return result;
}

BridgeHost::BridgeHost(HostSettings settings) : impl_(std::make_unique<Impl>(std::move(settings))) {}

BridgeHost::~BridgeHost() {
  if (stop().empty() && !impl_->leftBehind) return;
  // Its threads still run calls that never returned: what they use stays
  // for the life of the process.
  static std::mutex mutex;
  static auto* leftBehind = new std::vector<Impl*>;
  std::lock_guard<std::mutex> lock(mutex);
  leftBehind->push_back(impl_.release());
}

void BridgeHost::addBridge(const std::string& path, std::shared_ptr<BridgeHandler> bridge, const std::string& name) {
  if (impl_->started) throw std::logic_error("bridges are added before the host starts");
  if (path.empty() || path[0] != '/') throw std::logic_error("a bridge path starts with '/': '" + path + "'");
  if (const auto fault = pathFault(path)) throw std::logic_error("the bridge path \"" + path + "\" " + *fault);
  if (!bridge) throw std::logic_error("no bridge for " + path);
  if (!impl_->bridges.emplace(path, ServedBridge{std::move(bridge), name}).second)
    throw std::logic_error("a bridge is already served at " + path);
}

void BridgeHost::start() {
  if (impl_->started) throw std::logic_error("the host has started already");
  impl_->start();
  impl_->started = true;
}

std::vector<std::string> BridgeHost::stop() {
  if (!impl_->started || impl_->stopped) return {};
  impl_->stopped = true;
  std::vector<std::string> abandoned = impl_->stop();
  impl_->leftBehind = !abandoned.empty();
  return abandoned;
}

BridgeHost::StopStep BridgeHost::hurryStop() { return impl_->hurryStop(); }

void BridgeHost::reopenAccessLog() { impl_->reopenAccessLog(); }

unsigned short BridgeHost::port() const { return impl_->port; }

unsigned short BridgeHost::adminPort() const { return impl_->adminPort(); }

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
