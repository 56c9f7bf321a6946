// Reaching a scripted test server: in this process, or in another one
// (the Windows tests under Wine talk to a server running as a Linux
// process). A remote server is scripted through its control requests over
// plain HTTP; its TLS listener shares the plain listener's script.
//
// Environment: DRAV_TEST_SERVER=127.0.0.1:PORT names a remote plain server,
// DRAV_TEST_TLS_SERVER=127.0.0.1:PORT its TLS listener (scripted through
// DRAV_TEST_SERVER). Unset: the server is started in this process.
#pragma once

#include "support/http_test_server.h"

#include <memory>
#include <string>

namespace drav_test {

class RemoteTestServer : public ScriptedServer {
public:
  // control: "host:port" of the plain listener that takes the commands;
  // served: "host:port" requests go to (the same, or the TLS listener).
  RemoteTestServer(const std::string& control, const std::string& served, bool tls);

  std::string host() const override { return host_; }
  unsigned short port() const override { return port_; }
  bool tls() const override { return tls_; }
  void enqueue(const Reply& reply) override;
  void setDefaultReply(const Reply& reply) override;
  void requireAuth(AuthScheme scheme, const std::string& user, const std::string& password) override;
  std::vector<RecordedRequest> requests() override;
  unsigned connectionsAccepted() override;
  void reset() override;

private:
  // One control request; returns the answer's body, throws std::runtime_error
  // unless the answer is 200.
  std::string command(const std::string& name, const std::string& body);

  std::string controlHost_;
  unsigned short controlPort_ = 0;
  std::string host_;
  unsigned short port_ = 0;
  bool tls_;
};

// The plain server for a test: remote when DRAV_TEST_SERVER is set (reset
// before it is handed out), else a new in-process one. Null when neither is
// possible (a Windows build without the variable): the test then skips.
std::unique_ptr<ScriptedServer> openTestServer();
// The same for HTTPS, with a certificate for 127.0.0.1 made at test time.
std::unique_ptr<ScriptedServer> openTlsTestServer();
// True when the tests run against a server in another process.
bool usingRemoteServer();

// Splits "host:port"; throws std::runtime_error when malformed.
void splitHostPort(const std::string& text, std::string& host, unsigned short& port);

}  // namespace drav_test
