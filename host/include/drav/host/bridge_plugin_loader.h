// Loading a bridge plugin (bridge_plugin.h) from its shared object, for a
// host program: the library's LoadLibrary finds the entry point, the ABI
// check refuses a plugin built against another host, and the plugin stays
// loaded while its bridge lives. Not a search path: the caller names the file.
#pragma once

#include <drav/host/bridge_handler.h>

#include <memory>
#include <string>

namespace DRAVHost {

// The bridge `file` (a shared object named *.so or *.so.N) makes. The bridge
// is the caller's; destroying the last copy deletes it and then unloads the
// plugin. std::runtime_error "cannot load bridge plugin 'FILE': REASON" when
// the file is missing, no shared object, needs a symbol nothing defines,
// exports no entry point, was built for another ABI, or its entry point
// makes no bridge or throws; REASON says it in the plugin author's terms.
std::shared_ptr<BridgeHandler> loadBridgePlugin(const std::string& file);

}  // namespace DRAVHost
