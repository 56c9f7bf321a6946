// Ours: the typed client DRAVBridgeClient, as a program calling a bridge
// would use it, with the library's -DRAV... options from the command line.
#include "peer_client.h"

#include <drav/dravCommon.h>

#include <vector>

namespace peers {

const char* const kFramework = "drav";

namespace {

class DravClient : public PeerClient {
public:
  DravClient(const std::string& url, unsigned connections) : client_("peer", Url(url), AuthInfo(), settings(connections)) {}

  std::string greet(const std::string& name) override { return client_.call<std::string>("greet", name); }
  std::int32_t sum(std::int32_t a, std::int32_t b) override { return client_.call<int>("sum", int{a}, int{b}); }
  Bytes echo(std::string& payload) override {
    answer_ = client_.call<std::vector<unsigned char>>(
        "echo", DRAVBytes{reinterpret_cast<const unsigned char*>(payload.data()), payload.size()});
    return Bytes{answer_.data(), answer_.size()};
  }
  void drop() override { std::vector<unsigned char>().swap(answer_); }

private:
  static DRAVClientSettings settings(unsigned connections) {
    DRAVClientSettings s;
    s.maxConnections = connections;
    return s;
  }

  DRAVBridgeClient client_;
  std::vector<unsigned char> answer_;
};

}  // namespace

void initialize(int argc, char** argv) { static DRAVInitialize library(argc, argv); }

std::unique_ptr<PeerClient> connectPeer(const std::string& address) { return std::make_unique<DravClient>(address, 1); }

std::unique_ptr<PeerClient> connectShared(const std::string& address, unsigned threads) {
  return std::make_unique<DravClient>(address, threads);
}

}  // namespace peers
