#include "support/http_test_remote.h"

#include "support/tls_test_certificate.h"

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>
#endif

#include <cstdlib>
#include <stdexcept>

namespace drav_test {
namespace {

#ifdef _WIN32
using Socket = SOCKET;
constexpr Socket kNoSocket = INVALID_SOCKET;
void closeSocket(Socket s) { ::closesocket(s); }
struct WinsockStartup {
  WinsockStartup() {
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
  }
};
void startSockets() { static WinsockStartup once; }
#else
using Socket = int;
constexpr Socket kNoSocket = -1;
void closeSocket(Socket s) { ::close(s); }
void startSockets() {}
#endif

const char* environment(const char* name) {
  const char* value = std::getenv(name);
  return value && *value ? value : nullptr;
}

// One request on a fresh connection, answer read to its end (the request
// says "Connection: close"). Every wait is bounded by a 10 s socket time-out.
std::string exchange(const std::string& host, unsigned short port, const std::string& request) {
  startSockets();
  const Socket s = ::socket(AF_INET, SOCK_STREAM, 0);
  if (s == kNoSocket) throw std::runtime_error("control: no socket");
#ifdef _WIN32
  DWORD timeout = 10000;
#else
  timeval timeout = {10, 0};
#endif
  ::setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout), sizeof timeout);
  ::setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&timeout), sizeof timeout);
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  if (::inet_pton(AF_INET, host.c_str(), &address.sin_addr) != 1 ||
      ::connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    closeSocket(s);
    throw std::runtime_error("control: cannot connect to the test server at " + host + ":" + std::to_string(port));
  }
  for (std::size_t sent = 0; sent < request.size();) {
    const int n = ::send(s, request.data() + sent, static_cast<int>(request.size() - sent), 0);
    if (n <= 0) {
      closeSocket(s);
      throw std::runtime_error("control: send failed");
    }
    sent += static_cast<std::size_t>(n);
  }
  std::string answer;
  char piece[16384];
  for (;;) {
    const int n = ::recv(s, piece, sizeof piece, 0);
    if (n <= 0) break;
    answer.append(piece, static_cast<std::size_t>(n));
    if (answer.size() > (64u << 20)) break;
  }
  closeSocket(s);
  return answer;
}

}  // namespace

void splitHostPort(const std::string& text, std::string& host, unsigned short& port) {
  const std::size_t colon = text.rfind(':');
  const std::string digits = colon == std::string::npos ? "" : text.substr(colon + 1);
  if (colon == 0 || digits.empty() || digits.size() > 5 || digits.find_first_not_of("0123456789") != std::string::npos ||
      std::stoul(digits) == 0 || std::stoul(digits) > 65535)
    throw std::runtime_error("expected host:port, got '" + text + "'");
  host = text.substr(0, colon);
  port = static_cast<unsigned short>(std::stoul(digits));
}

RemoteTestServer::RemoteTestServer(const std::string& control, const std::string& served, bool tls) : tls_(tls) {
  splitHostPort(control, controlHost_, controlPort_);
  splitHostPort(served, host_, port_);
}

std::string RemoteTestServer::command(const std::string& name, const std::string& body) {
  const std::string request = "POST " + std::string(kControlPrefix) + name + " HTTP/1.1\r\nHost: " + controlHost_ +
                              "\r\nContent-Length: " + std::to_string(body.size()) +
                              "\r\nConnection: close\r\n\r\n" + body;
  const std::string answer = exchange(controlHost_, controlPort_, request);
  const std::size_t end = answer.find("\r\n\r\n");
  if (answer.compare(0, 13, "HTTP/1.1 200 ") != 0 || end == std::string::npos)
    throw std::runtime_error("control command " + name + " failed: " + answer.substr(0, 200));
  return answer.substr(end + 4);
}

void RemoteTestServer::enqueue(const Reply& reply) { command("enqueue", encodeReply(reply)); }
void RemoteTestServer::setDefaultReply(const Reply& reply) { command("default", encodeReply(reply)); }

void RemoteTestServer::requireAuth(AuthScheme scheme, const std::string& user, const std::string& password) {
  const char* kind = scheme == AuthScheme::Basic ? "basic" : scheme == AuthScheme::Ntlm ? "ntlm" : "none";
  command("auth", std::string(kind) + "\n" + user + "\n" + password);
}

std::vector<RecordedRequest> RemoteTestServer::requests() { return decodeRequests(command("requests", "")); }

unsigned RemoteTestServer::connectionsAccepted() {
  // The control connection itself is never counted: it carries no scripted request.
  return static_cast<unsigned>(std::stoul(command("connections", "")));
}

void RemoteTestServer::reset() { command("reset", ""); }

bool usingRemoteServer() { return environment("DRAV_TEST_SERVER") != nullptr; }

std::unique_ptr<ScriptedServer> openTestServer() {
  std::unique_ptr<ScriptedServer> server;
  if (const char* remote = environment("DRAV_TEST_SERVER")) {
    server.reset(new RemoteTestServer(remote, remote, false));
    server->reset();
    return server;
  }
#ifndef _WIN32
  server.reset(new HttpTestServer());
#endif
  return server;
}

#ifndef _WIN32
namespace {
// Owns the certificate the in-process HTTPS server was started with.
class LocalTlsServer : public HttpTestServer {
public:
  explicit LocalTlsServer(std::unique_ptr<TestCertificate> certificate)
      : HttpTestServer(options(*certificate)), certificate_(std::move(certificate)) {}

private:
  static ServerOptions options(const TestCertificate& certificate) {
    ServerOptions o;
    o.certFile = certificate.certFile();
    o.keyFile = certificate.keyFile();
    return o;
  }
  std::unique_ptr<TestCertificate> certificate_;
};
}  // namespace
#endif

std::unique_ptr<ScriptedServer> openTlsTestServer() {
  std::unique_ptr<ScriptedServer> server;
  const char* control = environment("DRAV_TEST_SERVER");
  if (const char* remote = environment("DRAV_TEST_TLS_SERVER")) {
    if (!control) throw std::runtime_error("DRAV_TEST_TLS_SERVER needs DRAV_TEST_SERVER for its commands");
    server.reset(new RemoteTestServer(control, remote, true));
    server->reset();
    return server;
  }
#ifndef _WIN32
  if (!control) server.reset(new LocalTlsServer(std::unique_ptr<TestCertificate>(new TestCertificate())));
#endif
  return server;
}

}  // namespace drav_test
