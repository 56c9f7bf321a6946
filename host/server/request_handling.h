// Serving one request whose head has arrived: routed to its bridge, to the
// logon route or to an HTTP error, with the page objects a bridge reads and
// writes through. Not the connection's life (connection.h) nor the listener
// (bridge_host.h).
#pragma once

#include "host/server/access_log.h"
#include "host/server/call_watch.h"
#include <drav/host/bridge_handler.h>
#include "host/server/channel.h"
#include "host/server/host_metrics.h"
#include "host/sso/host_auth.h"
#include <drav/host/host_settings.h>
#include "host/server/memory_budget.h"
#include "host/server/request_stream.h"
#include "host/server/response_stream.h"
#include "host/server/running_calls.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <boost/asio/ip/address.hpp>

namespace DRAVHost {

// A bridge as the host serves it: the handler, and the name calls to it carry
// in DRAVBridgeName (empty: any name).
struct ServedBridge {
  std::shared_ptr<BridgeHandler> handler;
  std::string name;
};

// What every request of a host shares: read-only while the host runs,
// except the authentication state, the counter and the memory budget, which
// are safe to share.
struct HostRoutes {
  const HostSettings& settings;
  const std::map<std::string, ServedBridge>& bridges;  // by exact path
  HostAuth& auth;
  std::atomic<std::uint64_t>& requestsServed;
  MemoryBudget& memory;
  AccessLog* accessLog;  // null: no access log
  const std::vector<boost::asio::ip::address>& trustedProxies;
  HostMetrics* metrics = nullptr;  // null: nothing counted
  // The page GET /metrics answers with; empty: no such route (the bridge
  // listener's, which faces clients).
  std::function<std::string()> metricsPage;
  // Set once the host begins to stop: /healthz answers 503 and every answer
  // closes its connection. Null: never.
  const std::atomic<bool>* stopFlag = nullptr;
  // Where requests are listed while they run; null: nowhere.
  RunningCalls* running = nullptr;

  bool stopping() const { return stopFlag && stopFlag->load(); }
};

// Serves one request whose head `in` has read: routes it to its bridge, to
// the logon route or to an HTTP error, and answers on `channel`. Runs on a
// thread of the host's pool and may block there (bounded by the host's
// limits). `peer` is the connection's peer address; the client counted for
// authentication and named in the log is the one forwardedClient names.
// A bridge call is watched through `watch` (null: not at all), which the
// sweep may give up while its bridge runs: the request then returns false
// as soon as the bridge does, without touching the connection again.
// True when the connection stays open for another request.
bool serveRequest(RequestStream& in, Channel& channel, const HostRoutes& routes, const boost::asio::ip::address& peer,
                  bool lastOnConnection, CallWatch* watch = nullptr);

// Whether the request gets one of the host's own short answers (/healthz, a
// path served by nothing, ...) rather than running a bridge, the logon or the
// metrics page: such an answer, once its body (if any) is held, is made at
// once without a slot, so that it never waits behind calls.
bool isHostAnswer(const RequestHead& head, const HostRoutes& routes);

// The call headers of a bridge request; HttpError(400) when one is missing or malformed.
BridgeCall readCallHeaders(const RequestHead& head);

}  // namespace DRAVHost
