// A scripted HTTP/1.1 server for tests: it listens on 127.0.0.1, records
// every request (request line, headers in order, body) and answers from a
// script of Replies. It serves plain HTTP or HTTPS, can demand Basic or NTLM
// authentication (NTLM with the real three-message exchange; the response is
// not checked cryptographically, only the user name it carries), and counts
// the TCP connections it accepted.
//
// ScriptedServer is what tests talk to: the in-process HttpTestServer below,
// or a server in another process reached through its control requests
// (support/http_test_remote.h). Not a general HTTP server: one thread per
// connection, bounded sizes, no pipelining beyond what arrives in order.
#pragma once

#include "support/http_test_script.h"

#include <memory>
#include <string>
#include <vector>

namespace drav_test {

class ScriptedServer {
public:
  virtual ~ScriptedServer() = default;

  virtual std::string host() const = 0;        // "127.0.0.1"
  virtual unsigned short port() const = 0;
  virtual bool tls() const = 0;
  std::string hostPort() const { return host() + ":" + std::to_string(port()); }
  // "http(s)://127.0.0.1:port" + path (path starts with "/").
  std::string url(const std::string& path) const;

  // Replies are used in order, one per request; then the default reply
  // (200 with an empty body unless set).
  virtual void enqueue(const Reply& reply) = 0;
  virtual void setDefaultReply(const Reply& reply) = 0;
  // Every later request must authenticate; AuthScheme::None lifts it.
  virtual void requireAuth(AuthScheme scheme, const std::string& user, const std::string& password) = 0;
  // Copies of the requests seen so far, oldest first (control requests excluded).
  virtual std::vector<RecordedRequest> requests() = 0;
  // TCP connections that carried at least one non-control request.
  virtual unsigned connectionsAccepted() = 0;
  // Forgets script, default reply, authentication, records and counts.
  virtual void reset() = 0;
};

// Requests whose target starts with this are commands to the server itself.
constexpr const char* kControlPrefix = "/_drav_test/";

// Whether an HTTPS server asks its clients for a certificate.
enum class ClientCertificate {
  None,       // does not ask
  Requested,  // asks, and goes on without one
  Required,   // asks, and refuses a client without one
};

struct ServerOptions {
  std::string certFile;            // PEM; both set: serve HTTPS
  std::string keyFile;
  ClientCertificate clientCertificate = ClientCertificate::None;  // HTTPS only
  bool tls12Only = false;          // HTTPS only: offer TLS 1.2 at most
  // HTTPS only, for refusals a client must name: the highest protocol
  // version offered (TLS1_VERSION, ...; 0: OpenSSL's) and the TLS 1.2
  // cipher list (empty: OpenSSL's). Either lowers the server's security
  // level to 0, so that it offers what a client should refuse.
  int maxProtocolVersion = 0;
  std::string ciphers;
  unsigned short port = 0;         // 0: an ephemeral port
  bool record = true;              // false: count only (for benchmarks)
};

// Script, records and counts. A plain and a TLS listener may share one, so
// that a remote peer scripts both through the plain one's control requests.
struct ServerState;

class HttpTestServer : public ScriptedServer {
public:
  // Starts listening and serving at once; throws std::runtime_error if it
  // cannot. A null state makes a fresh one.
  explicit HttpTestServer(const ServerOptions& options = ServerOptions(),
                          std::shared_ptr<ServerState> state = nullptr);
  ~HttpTestServer() override;  // stops: closes every connection, joins every thread
  HttpTestServer(const HttpTestServer&) = delete;
  HttpTestServer& operator=(const HttpTestServer&) = delete;

  std::string host() const override { return "127.0.0.1"; }
  unsigned short port() const override;
  bool tls() const override;
  void enqueue(const Reply& reply) override;
  void setDefaultReply(const Reply& reply) override;
  void requireAuth(AuthScheme scheme, const std::string& user, const std::string& password) override;
  std::vector<RecordedRequest> requests() override;
  unsigned connectionsAccepted() override;
  void reset() override;
  std::shared_ptr<ServerState> state() const;  // shared with the caller
  // TCP connections accepted, whether or not their TLS handshake succeeded
  // or they carried a request: for HTTPS, the handshakes clients tried.
  unsigned connectionsOpened();
  // Connections the server has closed (or reset) so far.
  unsigned connectionsClosed();

  class Impl;

private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace drav_test
