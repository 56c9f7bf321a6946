#include "bridge_plugins.h"

#include <drav/common/near_names.h>
#include <drav/host/bridge_plugin_loader.h>
#include <drav/typed/method_table.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <stdexcept>

namespace dravbridge {

BridgeEntry bridgeOption(const std::string& value) {
  const std::size_t equals = value.rfind('=');
  if (equals != std::string::npos && value.compare(equals + 1, 1, "/") == 0) {
    const std::string unreachable = unreachablePath(value.substr(equals + 1));
    if (!unreachable.empty()) throw std::invalid_argument("--bridge: " + unreachable);
    return {value.substr(equals + 1), value.substr(0, equals)};
  }
  struct stat status {};
  if (equals != std::string::npos && stat(value.c_str(), &status) != 0) {
    const std::string file = value.substr(0, equals), path = value.substr(equals + 1);
    const std::string fault = path.empty() ? "the path after '=' is empty" : "'" + path + "' lacks its '/'";
    throw std::invalid_argument("--bridge takes FILE or FILE=PATH, PATH a URL path starting with '/', not '" + value +
                                "': " + fault + " (did you mean " + file + (path.empty() ? "" : "=/" + path) + "?)");
  }
  return {defaultBridgePath(value), value};
}

std::string bridgeNameOf(const std::string& plugin) {
  std::string name = plugin.substr(plugin.rfind('/') + 1);
  name.resize(std::min(name.size(), name.rfind(".so")));
  if (name.size() > 3 && name.compare(0, 3, "lib") == 0) name.erase(0, 3);
  return name;
}

std::string defaultBridgePath(const std::string& file) { return "/bridges/" + bridgeNameOf(file); }

std::string samplePluginFile() {
  char program[PATH_MAX];
  const ssize_t length = readlink("/proc/self/exe", program, sizeof program - 1);
  const std::string path = length > 0 ? std::string(program, static_cast<std::size_t>(length)) : std::string();
  return path.substr(0, path.rfind('/') + 1) + DRAV_SAMPLE_PLUGIN;
}

namespace {

bool isFile(const std::string& path) {
  struct stat status {};
  return stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode);
}

// For a plugin that is no file, the name of a shared object that is there
// with its ".so"; else "".
std::string withSuffixHint(const std::string& given, const std::string& resolved) {
  return !isFile(resolved) && isFile(resolved + ".so") ? " (did you mean \"" + given + ".so\"?)" : "";
}

}  // namespace

std::shared_ptr<DRAVHost::BridgeHandler> loadBridge(const BridgeEntry& entry) {
  try {
    return DRAVHost::loadBridgePlugin(entry.plugin == kSamplePlugin ? samplePluginFile() : entry.plugin);
  } catch (const std::runtime_error& e) {
    if (entry.origin.empty()) throw std::runtime_error(e.what() + withSuffixHint(entry.plugin, entry.plugin));
    const std::string resolved =
        entry.given == entry.plugin ? "" : " (taken from the file's folder: " + entry.plugin + ")";
    throw std::runtime_error(entry.origin + ": plugin \"" + entry.given + "\" in [[bridge]]" + resolved + ": " +
                             e.what() + withSuffixHint(entry.given, entry.plugin) +
                             DRAV::detail::didYouMean(entry.given, {kSamplePlugin}));
  }
}

namespace {

class UndescribedBridge : public DRAVHost::BridgeHandler {
public:
  explicit UndescribedBridge(std::shared_ptr<DRAVHost::BridgeHandler> bridge) : bridge_(std::move(bridge)) {}
  void serve(const DRAVHost::BridgeCall& call, IDispatch* request, IDispatch* response) override {
    if (call.methodName == DRAVMethodTable::kDescribeMethod)
      throw DRAVHost::HttpError(404, "this host does not describe its bridges");
    DRAVHost::BridgeCall undescribed = call;
    undescribed.describe = false;
    bridge_->serve(undescribed, request, response);
  }

private:
  std::shared_ptr<DRAVHost::BridgeHandler> bridge_;
};

}  // namespace

std::shared_ptr<DRAVHost::BridgeHandler> withoutDescription(std::shared_ptr<DRAVHost::BridgeHandler> bridge) {
  return std::make_shared<UndescribedBridge>(std::move(bridge));
}

std::string describeBridge(const BridgeEntry& entry) {
  return entry.plugin == kSamplePlugin ? "sample bridge" : "bridge " + entry.plugin;
}

}  // namespace dravbridge
