// The bridge host: an embedded HTTP/1.1 (or HTTPS) server that plays the
// web server's part for bridges on hosts without one. Each POST to a
// registered path runs that path's bridge with page objects that read the
// body from the connection and write the answer to it; a logon route can
// play the single-sign-on server's side. One thread per connection, up to
// a fixed number of connections; every wait is bounded. Not a general web
// server: no files, no virtual hosts, no HTTP/2.
#pragma once

#include "host/bridge_handler.h"
#include "host/host_settings.h"

#include <cstdint>
#include <memory>
#include <string>

namespace DRAVHost {

// Counts since start(); a snapshot.
struct HostStatistics {
  std::uint64_t connectionsAccepted = 0;  // served, not counting those refused
  std::uint64_t connectionsRefused = 0;   // closed at once: the host was full
  std::uint64_t requestsServed = 0;       // requests whose head was read (refused ones included)
  unsigned activeConnections = 0;
  unsigned peakConnections = 0;           // the most served at once
};

class BridgeHost {
public:
  explicit BridgeHost(HostSettings settings);
  ~BridgeHost();  // stop()
  BridgeHost(const BridgeHost&) = delete;
  BridgeHost& operator=(const BridgeHost&) = delete;

  // Serves `bridge` for POSTs to `path` (exact, starting with "/"). Before
  // start() only; std::logic_error otherwise or for a path already taken.
  void addBridge(const std::string& path, std::shared_ptr<BridgeHandler> bridge);
  // Binds, listens and starts accepting on a thread of its own.
  // std::runtime_error when the address, port, certificate or key is unusable.
  void start();
  // Stops accepting, ends every connection at its next wait and joins every
  // thread. A bridge busy without touching its connection is waited for.
  void stop();

  // The port listened on (the one chosen when the settings said 0); 0 before start().
  unsigned short port() const;
  // "http://address:port" + path, or https with a certificate.
  std::string url(const std::string& path) const;
  const HostSettings& settings() const;
  HostStatistics statistics() const;
  // Sessions the logon route has issued.
  std::size_t ssoSessionCount() const;

private:
  class Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace DRAVHost
