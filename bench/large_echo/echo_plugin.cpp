// The bridge the large-echo benchmark calls: one binary value back as it
// came, through the typed layer's usual forms of a bytes method (a vector
// taken and given back, a view given back, a view taken and copied out).
#include <drav/host/bridge_plugin.h>
#include <drav/host/typed_bridge.h>

#include <vector>

namespace {

class EchoBridge : public DRAVHost::TypedBridge {
public:
  EchoBridge() : TypedBridge("echo") {
    method("echo", [](std::vector<unsigned char> bytes) { return bytes; }, {"bytes"});
    method("echoView", [](DRAVBytes bytes) { return bytes; }, {"bytes"});
    method("echoCopy", [](const std::vector<unsigned char>& bytes) { return bytes; }, {"bytes"});
  }
};

}  // namespace

DRAV_BRIDGE_PLUGIN(EchoBridge)
