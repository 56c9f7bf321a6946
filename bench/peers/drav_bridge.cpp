// Ours: the peer service as a typed bridge plugin, served by dravbridge at
// /bridges/peer, on the method table's default limits.
#include <drav/host/bridge_plugin.h>
#include <drav/host/typed_bridge.h>

#include <string>

namespace {

class PeerBridge : public DRAVHost::TypedBridge {
public:
  PeerBridge() : TypedBridge("peer") {
    method("greet", [](const std::string& name) { return "Hello, " + name + "!"; }, {"name"});
    method("sum", [](int a, int b) { return a + b; }, {"a", "b"});
    method("echo", [](DRAVBytes data) { return data; }, {"data"});
  }
};

}  // namespace

DRAV_BRIDGE_PLUGIN(PeerBridge)
