// dravbridge's configuration file: a TOML file holding what its command line
// holds (listener, TLS, credentials, limits, the bridges to serve), read
// onto the host's settings. docs/settings.md describes the file and each key.
#pragma once

#include <drav/compression/compression.h>
#include <drav/host/host_settings.h>

#include <stdexcept>
#include <string>
#include <vector>

namespace dravbridge {

// The plugin name of the sample bridge, installed with dravbridge.
inline const std::string kSamplePlugin = "sample";

struct BridgeEntry {
  std::string path;    // URL path, starting with '/'
  std::string plugin;  // kSamplePlugin, or a bridge plugin's file
  std::string name{};  // what calls carry in DRAVBridgeName; empty: bridgeNameOf(plugin)
  // For a bridge of the configuration file: "FILE:LINE" of its plugin key
  // and the plugin as the file names it (plugin is that name resolved);
  // both "" for one of the command line.
  std::string origin{};
  std::string given{};
};

struct BridgeConfig {
  DRAVHost::HostSettings host;
  std::vector<BridgeEntry> bridges{{"/bridges/sample", kSamplePlugin, ""}};
  bool trace = false;  // progress lines on standard error
  bool describe = true;  // method tables answer dravDescribe (--no-describe: 404)
  // Whether binary answers at or above the threshold go compressed (--compression).
  DRAVCompression::DRAVCompressionChoice compression = DRAVCompression::DRAVCompressionChoice::WhenItPays;
};

// "FILE:LINE: reason", or "FILE: reason" when no line is at fault.
class ConfigError : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

// Why no request reaches a bridge or logon served at `path` (a "?", "#",
// blank or dot segment, ...), or "" when one can.
std::string unreachablePath(const std::string& path);

// Every key the file may hold, as "table.key" ("trace" at the top level,
// "bridge.path" for a [[bridge]] table's), in the order of the reader's table.
std::vector<std::string> configKeys();

// Reads `file` over `config`: each key the file holds replaces its field, a
// [[bridge]] list replaces the bridges. Relative file names in it are taken
// from the file's folder; password_file is read here. Throws ConfigError.
void readConfigFile(const std::string& file, BridgeConfig& config);

}  // namespace dravbridge
