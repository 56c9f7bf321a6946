// The bridge plugin ABI: a bridge built as a shared object exports one C
// entry point, dravBridgePlugin, that the host calls once to make the bridge.
// A plugin defines it with DRAV_BRIDGE_PLUGIN:
//
//   class Greeter : public DRAVHost::BridgeHandler { ... };
//   DRAV_BRIDGE_PLUGIN(Greeter)
//
// and links dravCommon::host (pkg-config dravHost), so that it shares the
// host's one copy of the library. Loading a plugin is bridge_plugin_loader.h.
#pragma once

#include <drav/host/bridge_handler.h>

namespace DRAVHost {

// What a plugin and its host must agree on: BridgeHandler, BridgeCall,
// CallReport, HttpError, the page objects and the entry point. Raised with
// every change to them that a built plugin would notice.
constexpr unsigned kBridgePluginAbi = 3;

}  // namespace DRAVHost

// The entry point's name, for GetProcAddress.
#define DRAV_BRIDGE_PLUGIN_ENTRY "dravBridgePlugin"

extern "C" {
// The entry point. `hostAbi` is the host's kBridgePluginAbi; the plugin
// always sets *pluginAbi to its own and makes its bridge only when the two
// agree, returning null otherwise. The bridge (new) is owned by the host,
// which deletes it before it unloads the plugin. An exception it throws
// fails the load with its message. Its name and signature stay the same
// whatever the ABI, so that a host can always tell a plugin's ABI.
typedef DRAVHost::BridgeHandler* DRAVBridgePluginEntry(unsigned hostAbi, unsigned* pluginAbi);
// What a plugin exports: DRAV_BRIDGE_PLUGIN defines it.
__attribute__((visibility("default"))) DRAVBridgePluginEntry dravBridgePlugin;
}

// Defines the entry point for a bridge class made with `new BridgeClass()`.
#define DRAV_BRIDGE_PLUGIN(BridgeClass)                                                         \
  extern "C" DRAVHost::BridgeHandler* dravBridgePlugin(unsigned hostAbi, unsigned* pluginAbi) { \
    *pluginAbi = DRAVHost::kBridgePluginAbi;                                                    \
    return hostAbi == DRAVHost::kBridgePluginAbi ? new BridgeClass() : nullptr;                 \
  }
