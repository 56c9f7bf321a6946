// Serving one connection: request after request, kept alive while the client
// and the host's limits allow, each routed to its bridge, to the logon route
// or to an HTTP error. Not the listener (bridge_host.h). run() occupies the
// connection's own thread; interrupt() is the one call from elsewhere.
#pragma once

#include "host/bridge_handler.h"
#include "host/channel.h"
#include "host/client_key.h"
#include "host/host_auth.h"
#include "host/host_settings.h"
#include "host/request_stream.h"
#include "host/response_stream.h"

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace DRAVHost {

// What every connection of a host shares: read-only while the host runs,
// except the authentication state and the counter, which are safe to share.
struct HostRoutes {
  const HostSettings& settings;
  const std::map<std::string, std::shared_ptr<BridgeHandler>>& bridges;  // by exact path
  HostAuth& auth;
  std::atomic<std::uint64_t>& requestsServed;
};

class Connection {
public:
  // `routes` and what it refers to must outlive the connection; `client` is
  // who the peer counts as for authentication.
  Connection(std::unique_ptr<Channel> channel, const HostRoutes& routes, const ClientKey& client);
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // Serves requests until the connection ends, then closes it. Never throws.
  void run();
  // Thread-safe: ends the connection at its next wait.
  void interrupt() { channel_->interrupt(); }

private:
  // One request whose head has been read; true when the connection stays open.
  bool serve(RequestStream& in, bool lastOnConnection);
  bool serveBridge(RequestStream& in, ResponseStream& out, BridgeHandler& bridge);
  bool dispatch(RequestStream& in, ResponseStream& out, BridgeHandler& bridge, const BridgeCall& call);
  // Answers with the host's own text; reads a small unread body first so the
  // connection can stay open.
  bool refuse(RequestStream& in, ResponseStream& out, unsigned status, const std::string& message,
              const std::vector<std::pair<std::string, std::string>>& headers = {});
  // The body is complete (or dropped) and the response sent; true to keep the connection.
  bool complete(RequestStream& in, ResponseStream& out);

  std::unique_ptr<Channel> channel_;
  HostRoutes routes_;
  const ClientKey client_;
};

// The call headers of a bridge request; HttpError(400) when one is missing or malformed.
BridgeCall readCallHeaders(const RequestHead& head);

}  // namespace DRAVHost
