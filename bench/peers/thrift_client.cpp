// Thrift: the generated client over the binary protocol on a buffered TCP
// socket, default settings. A Thrift client is one connection for one
// thread at a time: with several threads each opens its own.
#include "peer_client.h"

#include "Peer.h"

#include <thrift/protocol/TBinaryProtocol.h>
#include <thrift/transport/TBufferTransports.h>
#include <thrift/transport/TSocket.h>

#include <stdexcept>

namespace peers {

const char* const kFramework = "thrift";

namespace {

using apache::thrift::protocol::TBinaryProtocol;
using apache::thrift::transport::TBufferedTransport;
using apache::thrift::transport::TSocket;

class ThriftClient : public PeerClient {
public:
  ThriftClient(const std::string& host, int port)
      : transport_(std::make_shared<TBufferedTransport>(std::make_shared<TSocket>(host, port))),
        client_(std::make_shared<TBinaryProtocol>(transport_)) {
    transport_->open();
  }
  ~ThriftClient() override { transport_->close(); }

  std::string greet(const std::string& name) override {
    std::string answer;
    client_.greet(answer, name);
    return answer;
  }
  std::int32_t sum(std::int32_t a, std::int32_t b) override { return client_.sum(a, b); }
  Bytes echo(std::string& payload) override {
    client_.echo(answer_, payload);
    return Bytes{reinterpret_cast<const unsigned char*>(answer_.data()), answer_.size()};
  }
  void drop() override { std::string().swap(answer_); }

private:
  std::shared_ptr<TBufferedTransport> transport_;
  thrift::PeerClient client_;
  std::string answer_;
};

}  // namespace

void initialize(int, char**) {}

std::unique_ptr<PeerClient> connectPeer(const std::string& address) {
  const auto colon = address.rfind(':');
  if (colon == std::string::npos) throw std::runtime_error("not host:port: " + address);
  return std::make_unique<ThriftClient>(address.substr(0, colon), std::stoi(address.substr(colon + 1)));
}

std::unique_ptr<PeerClient> connectShared(const std::string&, unsigned) { return nullptr; }

}  // namespace peers
