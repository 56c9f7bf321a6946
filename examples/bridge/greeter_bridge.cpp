// The greeter bridge: a plugin with one method, greet, which answers a name
// with a greeting. `dravbridge --bridge libgreeter.so` serves it at
// /bridges/greeter; the table checks that each call brings one String.
#include <drav/host/bridge_plugin.h>
#include <drav/host/typed_bridge.h>

#include <string>

class GreeterBridge : public DRAVHost::TypedBridge {
public:
  GreeterBridge() : TypedBridge("greeter") {
    method("greet", [](const std::string& name) { return "Hello, " + name + "!"; }, {"name"});
  }
};

DRAV_BRIDGE_PLUGIN(GreeterBridge)
