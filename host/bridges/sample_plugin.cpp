// The sample bridge as a plugin: what dravbridge serves when told no other.
#include "host/bridges/sample_bridge.h"

#include <drav/host/bridge_plugin.h>

DRAV_BRIDGE_PLUGIN(DRAVHost::SampleBridge)
