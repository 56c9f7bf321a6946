// gRPC: the generated stub's synchronous unary calls on one channel (one
// HTTP/2 connection), default settings but the largest message received,
// which must hold a 64 MiB echo (the default is 4 MiB).
#include "peer_client.h"

#include "peer.grpc.pb.h"

#include <grpcpp/grpcpp.h>

#include <stdexcept>

namespace peers {

const char* const kFramework = "grpc";

namespace {

constexpr int kMaxMessage = 128 << 20;

class GrpcClient : public PeerClient {
public:
  explicit GrpcClient(const std::string& address) : stub_(Peer::NewStub(channel(address))) {}

  std::string greet(const std::string& name) override {
    Name request;
    request.set_name(name);
    Greeting answer;
    call("Greet", [&](grpc::ClientContext* context) { return stub_->Greet(context, request, &answer); });
    return answer.text();
  }
  std::int32_t sum(std::int32_t a, std::int32_t b) override {
    Pair request;
    request.set_a(a);
    request.set_b(b);
    Total answer;
    call("Sum", [&](grpc::ClientContext* context) { return stub_->Sum(context, request, &answer); });
    return answer.total();
  }
  // The payload is swapped into the request and back: no copy of ours.
  Bytes echo(std::string& payload) override {
    Blob request;
    request.mutable_data()->swap(payload);
    grpc::Status status;
    {
      grpc::ClientContext context;
      status = stub_->Echo(&context, request, &answer_);
    }
    request.mutable_data()->swap(payload);
    if (!status.ok()) throw std::runtime_error("Echo: " + status.error_message());
    const std::string& data = answer_.data();
    return Bytes{reinterpret_cast<const unsigned char*>(data.data()), data.size()};
  }
  void drop() override { answer_ = Blob(); }

private:
  static std::shared_ptr<grpc::Channel> channel(const std::string& address) {
    grpc::ChannelArguments arguments;
    arguments.SetMaxReceiveMessageSize(kMaxMessage);
    return grpc::CreateCustomChannel(address, grpc::InsecureChannelCredentials(), arguments);
  }
  template <typename Call>
  static void call(const char* method, Call run) {
    grpc::ClientContext context;
    const grpc::Status status = run(&context);
    if (!status.ok()) throw std::runtime_error(std::string(method) + ": " + status.error_message());
  }

  std::unique_ptr<Peer::Stub> stub_;
  Blob answer_;
};

}  // namespace

void initialize(int, char**) {}

std::unique_ptr<PeerClient> connectPeer(const std::string& address) { return std::make_unique<GrpcClient>(address); }

// One channel for every thread, as gRPC's stubs are meant to be shared.
std::unique_ptr<PeerClient> connectShared(const std::string& address, unsigned) {
  return std::make_unique<GrpcClient>(address);
}

}  // namespace peers
