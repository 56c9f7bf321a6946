// The bridges dravbridge serves: the --bridge option, the URL path a plugin
// gets when none is named, and where the sample bridge's plugin lies beside
// the program. Loading itself is the host's (bridge_plugin_loader.h).
#pragma once

#include "config_file.h"

#include <drav/host/bridge_handler.h>

#include <memory>
#include <string>

namespace dravbridge {

// --bridge FILE[=PATH]: PATH when the text after the last '=' starts with
// '/', else the whole value is the file, served at defaultBridgePath(FILE).
// std::invalid_argument saying what is wrong with the path when the value
// holds a '=' that starts no path and names no file either.
BridgeEntry bridgeOption(const std::string& value);

// The name calls to a plugin's bridge carry in DRAVBridgeName: the file's
// name without its folder, a leading "lib" and ".so" with what follows it
// (libgreeter.so -> greeter); "sample" for the sample bridge.
std::string bridgeNameOf(const std::string& plugin);

// "/bridges/" + bridgeNameOf(file).
std::string defaultBridgePath(const std::string& file);

// The sample bridge's plugin, where the installation puts it relative to
// this program (the build tree mirrors it).
std::string samplePluginFile();

// The bridge an entry names, loaded: kSamplePlugin is samplePluginFile().
// std::runtime_error naming the file and the reason; for a bridge of the
// configuration file also its file and line, the name as given and as
// resolved, and the sample's name when that was likely meant.
std::shared_ptr<DRAVHost::BridgeHandler> loadBridge(const BridgeEntry& entry);

// `bridge`, except that a call of the method every method table answers with
// its description (DRAVMethodTable::kDescribeMethod) is refused with 404:
// for operators who do not want their bridges to describe themselves.
std::shared_ptr<DRAVHost::BridgeHandler> withoutDescription(std::shared_ptr<DRAVHost::BridgeHandler> bridge);

// "sample bridge" or "bridge FILE", for the lines that say where it is served.
std::string describeBridge(const BridgeEntry& entry);

}  // namespace dravbridge
