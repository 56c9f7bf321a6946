// Thrift's peer server: the binary protocol over buffered TCP transports,
// one thread per connection (TThreadedServer), on 127.0.0.1 at a free port,
// default settings. Prints "port N" once listening and serves until killed.
#include "Peer.h"

#include <thrift/protocol/TBinaryProtocol.h>
#include <thrift/server/TThreadedServer.h>
#include <thrift/transport/TBufferTransports.h>
#include <thrift/transport/TServerSocket.h>

#include <sys/socket.h>
#include <netinet/in.h>

#include <iostream>

namespace {

using namespace apache::thrift;

class PeerHandler : public peers::thrift::PeerIf {
public:
  void greet(std::string& answer, const std::string& name) override { answer = "Hello, " + name + "!"; }
  int32_t sum(int32_t a, int32_t b) override { return a + b; }
  void echo(std::string& answer, const std::string& data) override { answer = data; }
};

// Prints the port the socket was given, once it listens.
class PortReporter : public server::TServerEventHandler {
public:
  explicit PortReporter(std::shared_ptr<transport::TServerSocket> socket) : socket_(std::move(socket)) {}
  void preServe() override {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    getsockname(socket_->getSocketFD(), reinterpret_cast<sockaddr*>(&address), &length);
    std::cout << "port " << ntohs(address.sin_port) << std::endl;
  }

private:
  std::shared_ptr<transport::TServerSocket> socket_;
};

}  // namespace

int main() {
  auto socket = std::make_shared<transport::TServerSocket>("127.0.0.1", 0);
  server::TThreadedServer server(std::make_shared<peers::thrift::PeerProcessor>(std::make_shared<PeerHandler>()),
                                 socket, std::make_shared<transport::TBufferedTransportFactory>(),
                                 std::make_shared<protocol::TBinaryProtocolFactory>());
  server.setServerEventHandler(std::make_shared<PortReporter>(socket));
  server.serve();
}
