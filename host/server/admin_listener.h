// The admin listener: a second, small plain-HTTP listener that serves GET
// /metrics and /healthz (404 for anything else) for monitoring, with threads,
// a bound on connections and a line of waiting requests of its own, so that
// a flood of bridge calls does not hold up a scrape and an attack on this
// listener does not touch bridge calls. It keeps the host's deadlines and
// header limit; requests carry no body. Not the bridge listener (bridge_host.h).
#pragma once

#include <drav/host/host_settings.h>

#include <atomic>
#include <functional>
#include <memory>
#include <string>

namespace DRAVHost {

class AdminListener {
public:
  // `metricsPage` makes the page GET /metrics answers with, on the
  // listener's threads; it must stay callable until stop() returns. Once
  // `*stopFlag` is set (null: never), /healthz answers 503.
  AdminListener(const HostSettings& host, std::function<std::string()> metricsPage,
                const std::atomic<bool>* stopFlag = nullptr);
  ~AdminListener();  // stop()
  AdminListener(const AdminListener&) = delete;
  AdminListener& operator=(const AdminListener&) = delete;

  // Binds host.admin's address and port and starts serving; std::runtime_error
  // when the address or port is unusable.
  void start();
  // Closes the listener and every connection, and joins its threads.
  void stop();
  unsigned short port() const;

private:
  class Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace DRAVHost
