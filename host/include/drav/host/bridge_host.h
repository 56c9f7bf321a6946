// The bridge host: an embedded HTTP/1.1 (or HTTPS) server that plays the
// web server's part for bridges on hosts without one. Each POST to a
// registered path runs that path's bridge with page objects that read the
// body from the connection and write the answer to it; a logon route can
// play the single-sign-on server's side. Open connections cost no thread:
// they are accepted, read and kept alive asynchronously, and a bounded pool
// of threads runs the requests, whose page objects block as a web server's
// do. Every wait is bounded. Not a general web server: no files, no virtual
// hosts, no HTTP/2.
#pragma once

#include <drav/host/bridge_handler.h>
#include <drav/host/host_settings.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace DRAVHost {

// Counts since start(); a snapshot.
struct HostStatistics {
  std::uint64_t connectionsAccepted = 0;  // served, not counting those refused
  std::uint64_t connectionsRefused = 0;   // closed at once: the host was full
  std::uint64_t requestsServed = 0;       // requests run on a pool thread
  std::uint64_t requestsRefused = 0;      // answered 503 at once: every pool thread was busy
  unsigned activeConnections = 0;
  unsigned peakConnections = 0;           // the most served at once
};

// Serves the registered bridges and the logon route from start() until stop().
class BridgeHost {
public:
  // std::runtime_error when the access log cannot be opened, std::invalid_argument
  // for a trusted proxy that is no IP address, a user (Basic or logon)
  // without a password or a password without a user, or a call memory
  // budget above the host's.
  explicit BridgeHost(HostSettings settings);
  ~BridgeHost();  // stop()
  BridgeHost(const BridgeHost&) = delete;
  BridgeHost& operator=(const BridgeHost&) = delete;

  // Serves `bridge` for POSTs to `path` (exact, starting with "/"). With a
  // `name`, a call whose DRAVBridgeName differs is answered 404 naming the
  // bridge served there; without one, any name is served. Before start()
  // only; std::logic_error otherwise or for a path already taken.
  void addBridge(const std::string& path, std::shared_ptr<BridgeHandler> bridge, const std::string& name = "");
  // Binds, listens and starts the pool of threads that accept and serve.
  // std::runtime_error when the address, port, certificate or key is unusable.
  void start();
  // Stops in three steps. Draining, for the settings' drainTime: the host
  // serves on, but /healthz answers 503, so that a balancer that asks sends
  // new calls elsewhere. Then it stops listening (taking the connections the
  // kernel has accepted already), and for up to the stop grace lets running
  // requests finish, runs those waiting for a slot as slots free up, and
  // serves the requests that still arrive on open connections; from the
  // drain on every answer closes its connection. A connection waiting for a
  // request of which nothing has come (a new one, or a kept-alive one) is
  // closed a moment after the listener, once requests on their way have
  // arrived. At the grace's end requests still waiting for a slot are
  // turned away (503 with "Connection: close"). Last it cuts every
  // connection and joins every thread. A call still running a moment after
  // the cut (a bridge that never returns) cannot be joined: stop() then
  // leaves the host's threads and state behind, for the process to end, and
  // returns one line naming each such call ("/path" "method" from CLIENT,
  // running for N s).
  std::vector<std::string> stop();
  // The step stop() is in.
  enum class StopStep { NotStopping, Draining, Grace, Ending };
  // From another thread while stop() runs (or as it is called): ends the step it is in at once,
  // the drain (the listener closes now) or the grace (as at its end: the
  // requests waiting are turned away and every connection is cut). Each
  // call ends one more step, even before stop() has left the one the call
  // before ended (signals in quick succession). Returns the step it ended;
  // NotStopping or Ending when there was none to end.
  StopStep hurryStop();
  // Opens the access log's file anew, for log rotation; std::runtime_error
  // naming the file when it cannot be (the old file stays in use). Nothing
  // without an access log or with standard error as the log.
  void reopenAccessLog();

  // The port listened on (the one chosen when the settings said 0); 0 before start().
  unsigned short port() const;
  // The admin listener's port; 0 before start() or without one.
  unsigned short adminPort() const;
  // "http://address:port" + path, or https with a certificate.
  std::string url(const std::string& path) const;
  // The settings in force: after start() maxConnections is the bound applied
  // and eventLoops the number of loops serving.
  const HostSettings& settings() const;
  HostStatistics statistics() const;
  // Sessions the logon route has issued.
  std::size_t ssoSessionCount() const;

private:
  class Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace DRAVHost
