// gRPC's peer server: the synchronous service on 127.0.0.1 at a free port,
// default settings but the largest message received (128 MiB: a 64 MiB echo
// must fit; the default is 4 MiB). Prints "port N" once listening and
// serves until killed.
#include "peer.grpc.pb.h"

#include <grpcpp/grpcpp.h>

#include <iostream>

namespace {

class PeerService final : public peers::Peer::Service {
  grpc::Status Greet(grpc::ServerContext*, const peers::Name* request, peers::Greeting* answer) override {
    answer->set_text("Hello, " + request->name() + "!");
    return grpc::Status::OK;
  }
  grpc::Status Sum(grpc::ServerContext*, const peers::Pair* request, peers::Total* answer) override {
    answer->set_total(request->a() + request->b());
    return grpc::Status::OK;
  }
  grpc::Status Echo(grpc::ServerContext*, const peers::Blob* request, peers::Blob* answer) override {
    answer->set_data(request->data());
    return grpc::Status::OK;
  }
};

}  // namespace

int main() {
  PeerService service;
  int port = 0;
  grpc::ServerBuilder builder;
  builder.AddListeningPort("127.0.0.1:0", grpc::InsecureServerCredentials(), &port);
  builder.SetMaxReceiveMessageSize(128 << 20);
  builder.RegisterService(&service);
  std::unique_ptr<grpc::Server> server = builder.BuildAndStart();
  if (!server || port == 0) {
    std::cerr << "peers_server_grpc: cannot listen\n";
    return 1;
  }
  std::cout << "port " << port << std::endl;
  server->Wait();
}
