// Serving one request whose head has arrived: routed to its bridge, to the
// logon route or to an HTTP error, with the page objects a bridge reads and
// writes through. Not the connection's life (connection.h) nor the listener
// (bridge_host.h).
#pragma once

#include "host/server/access_log.h"
#include <drav/host/bridge_handler.h>
#include "host/server/channel.h"
#include "host/server/client_key.h"
#include "host/server/host_metrics.h"
#include "host/sso/host_auth.h"
#include <drav/host/host_settings.h>
#include "host/server/memory_budget.h"
#include "host/server/request_stream.h"
#include "host/server/response_stream.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <boost/asio/ip/address.hpp>

namespace DRAVHost {

// What every request of a host shares: read-only while the host runs,
// except the authentication state, the counter and the memory budget, which
// are safe to share.
struct HostRoutes {
  const HostSettings& settings;
  const std::map<std::string, std::shared_ptr<BridgeHandler>>& bridges;  // by exact path
  HostAuth& auth;
  std::atomic<std::uint64_t>& requestsServed;
  MemoryBudget& memory;
  AccessLog* accessLog;  // null: no access log
  const std::vector<boost::asio::ip::address>& trustedProxies;
  HostMetrics* metrics = nullptr;  // null: nothing counted
  // The page GET /metrics answers with; empty: no such route (the bridge
  // listener's, which faces clients).
  std::function<std::string()> metricsPage;
};

// Serves one request whose head `in` has read: routes it to its bridge, to
// the logon route or to an HTTP error, and answers on `channel`. Runs on a
// thread of the host's pool and may block there (bounded by the host's
// limits). `client` is who the peer counts as for authentication, `peer`
// its address. True when the connection stays open for another request.
bool serveRequest(RequestStream& in, Channel& channel, const HostRoutes& routes, const ClientKey& client,
                  const boost::asio::ip::address& peer, bool lastOnConnection);

// Whether the request gets one of the host's own short answers (/healthz, a
// path served by nothing, ...) rather than running a bridge, the logon or the
// metrics page: such an answer, once its body (if any) is held, is made at
// once without a slot, so that it never waits behind calls.
bool isHostAnswer(const RequestHead& head, const HostRoutes& routes);

// The call headers of a bridge request; HttpError(400) when one is missing or malformed.
BridgeCall readCallHeaders(const RequestHead& head);

}  // namespace DRAVHost
