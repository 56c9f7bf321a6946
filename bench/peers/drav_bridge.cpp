// Ours: the peer service as a typed bridge plugin, served by dravbridge at
// /bridges/peer. Two settings come from the environment, as the host has no
// options for them:
//   PEER_MAX_ARGS_SIZE   the method table's argument limit in bytes (a 64 MiB
//                        echo needs more than the default 64 MiB)
//   PEER_COMPRESSION     "off": the host sends every value as it is (the
//                        process-wide compression threshold raised past any
//                        value's size)
#include <drav/compression/compression.h>
#include <drav/host/bridge_plugin.h>
#include <drav/host/typed_bridge.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

DRAVMethodTableLimits limitsFromEnvironment() {
  DRAVMethodTableLimits limits;
  if (const char* size = std::getenv("PEER_MAX_ARGS_SIZE"))
    limits.maxArgsSize = static_cast<std::uint32_t>(std::strtoul(size, nullptr, 10));
  return limits;
}

class PeerBridge : public DRAVHost::TypedBridge {
public:
  PeerBridge() : TypedBridge("peer", limitsFromEnvironment()) {
    const char* compression = std::getenv("PEER_COMPRESSION");
    if (compression && std::strcmp(compression, "off") == 0)
      DRAVCompression::DRAVCompressedData::setCompressionThreshold(0x7FFFFFFF);
    method("greet", [](const std::string& name) { return "Hello, " + name + "!"; }, {"name"});
    method("sum", [](int a, int b) { return a + b; }, {"a", "b"});
    method("echo", [](DRAVBytes data) { return data; }, {"data"});
  }
};

}  // namespace

DRAV_BRIDGE_PLUGIN(PeerBridge)
